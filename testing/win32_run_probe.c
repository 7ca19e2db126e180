/* The Win32 program of the runner's test (scripts/win32_run_test.sh), a
   stand-in for a user's own program: it writes each FILE (a relative name
   lands in its working folder, C:\... in the Wine prefix), says so on
   stdout, and ends with CODE.

     win32_run_probe CODE [FILE...] */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: win32_run_probe CODE [FILE...]\n", stderr);
    return 64;
  }
  for (int i = 2; i < argc; ++i) {
    FILE* file = fopen(argv[i], "w");
    if (file == NULL || fputs("written by win32_run_probe\n", file) < 0 || fclose(file) != 0) {
      fprintf(stderr, "win32_run_probe: cannot write %s\n", argv[i]);
      return 70;
    }
    printf("win32_run_probe: wrote %s\n", argv[i]);
  }
  return atoi(argv[1]);
}
