/* A host written in C: includes plugin_api.h, loads Velmora.plg as the
 * download manager does and calls the three exports through the header's
 * own declarations. Compiled as C, so that the header stays a C header.
 * plugin_abi_test.cpp runs it. */
#include "plugin/plugin_api.h"

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

/* "" when every call did what the header says, else the first that did not. */
const char* VelmoraRunCHost(const char* pluginPath);

typedef __typeof__(&PlgInit) InitFn;
typedef __typeof__(&PlgGetDirectLink) GetDirectLinkFn;
typedef __typeof__(&PlgDestroy) DestroyFn;

static const char* g_answer = "";
static int g_calls = 0;

static HostText VELMORA_CALL GetPage(const void* link) {
  ++g_calls;
  return strcmp((const char*)link, "http://site/f/1") == 0
             ? "<FORM ACTION=\"/dl\"><INPUT NAME=\"id\" VALUE=\"42\"></FORM>"
             : NULL;
}

static HostText VELMORA_CALL PostForm(HostText url, HostText params) {
  ++g_calls;
  return strcmp(url, "/dl") == 0 && strcmp(params, "id=42\r\n") == 0 ? g_answer : "";
}

static char g_savedPath[64];

static void VELMORA_CALL SaveFile(HostText path, HostText content) {
  (void)content;
  snprintf(g_savedPath, sizeof g_savedPath, "%s", path);
}

/* The export called name, into *function (a function pointer of size bytes). */
static int Bind(void* library, const char* name, void* function, size_t size) {
#if defined(_WIN32)
  FARPROC found = GetProcAddress((HMODULE)library, name);
#else
  void* found = dlsym(library, name);
#endif
  if (found == NULL || sizeof found != size) return 0;
  memcpy(function, &found, size);
  return 1;
}

static const char* Calls(void* library) {
  static char failure[256];
  static const struct {
    const char* answer;
    const char* result;
  } kRows[] = {
      {"<P>Your download link</P>\n<A HREF=\"http://files.example/dl/42\">",
       "http://files.example/dl/42"},
      {"<p><b>Invalid download link</b></p>", "%notfound%"},
      {"Fehlerhafter Downloadlink", "%deleted%"},
      {"<P>no link here</P>", ""},
  };
  InitFn init;
  GetDirectLinkFn getDirectLink;
  DestroyFn destroy;
  HostText text;
  size_t i;

  if (!Bind(library, "PlgInit", &init, sizeof init) ||
      !Bind(library, "PlgGetDirectLink", &getDirectLink, sizeof getDirectLink) ||
      !Bind(library, "PlgDestroy", &destroy, sizeof destroy)) {
    return "an export is missing";
  }
  text = init(GetPage, PostForm, NULL, 0, NULL, 0, NULL);
  if (text == NULL || strcmp(text, "dornix.example") != 0) return "PlgInit: not the host name";
  for (i = 0; i < sizeof kRows / sizeof kRows[0]; ++i) {
    g_answer = kRows[i].answer;
    text = getDirectLink("http://site/f/1");
    if (text == NULL || strcmp(text, kRows[i].result) != 0) {
      snprintf(failure, sizeof failure, "PlgGetDirectLink for \"%s\" gave \"%s\"", kRows[i].answer,
               text == NULL ? "(null)" : text);
      return failure;
    }
  }
  /* In debug mode the answer is saved under the header's dump name. */
  init(GetPage, PostForm, NULL, 0, SaveFile, 1, "dumps/");
  g_answer = kRows[0].answer;
  getDirectLink("http://site/f/1");
  if (strcmp(g_savedPath, "dumps/" VELMORA_DUMP_FILE_NAME) != 0) {
    return "saveFile: not dumpDir followed by VELMORA_DUMP_FILE_NAME";
  }
  destroy();
  g_calls = 0;
  text = getDirectLink("http://site/f/1");
  if (text == NULL || text[0] != '\0' || g_calls != 0) return "PlgDestroy: the callbacks stay";
  return "";
}

const char* VelmoraRunCHost(const char* pluginPath) {
  const char* failure;
#if defined(_WIN32)
  HMODULE library = LoadLibraryA(pluginPath);
  if (library == NULL) return "LoadLibraryA failed";
  failure = Calls((void*)library);
  if (!FreeLibrary(library) && failure[0] == '\0') failure = "FreeLibrary failed";
#else
  void* library = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) return "dlopen failed";
  failure = Calls(library);
  if (dlclose(library) != 0 && failure[0] == '\0') failure = "dlclose failed";
#endif
  return failure;
}
