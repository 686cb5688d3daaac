add_compile_options(-Wall -Wextra -Werror)
if(KVD_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KVD_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
# libFuzzer targets (fuzz/) link into the sanitizer tree itself: every object
# carries the coverage instrumentation, so no second build of the code is
# needed. GCC stays the -Werror compiler of record; clang's extra warnings stay
# visible but do not fail a build.
if(KVD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KVD_FUZZ needs clang (e.g. -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)")
  endif()
  if(NOT KVD_SANITIZE)
    message(FATAL_ERROR "KVD_FUZZ is meant for the sanitizer tree: add -DKVD_SANITIZE=ON")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link -Wno-error)
endif()
