# Builds everything, the plugin included, with the sanitizers named in
# VELMORA_SANITIZE (e.g. "address,undefined" or "thread"). GCC links the
# runtime into the test binary and records it as a dependency of the
# plugin, so the dlopen'ed plugin finds the runtime already loaded.
set(VELMORA_SANITIZE "" CACHE STRING "Sanitizers to build with, as -fsanitize= takes them")
if(VELMORA_SANITIZE)
  add_compile_options(-fsanitize=${VELMORA_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${VELMORA_SANITIZE})
endif()

# The fuzz build: every target instrumented for libFuzzer's coverage and
# checked by AddressSanitizer and UndefinedBehaviorSanitizer; the fuzz
# targets link the fuzzer runtime themselves (fuzz/CMakeLists.txt).
if(VELMORA_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
endif()
