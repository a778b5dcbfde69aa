# Installs the kivclient component to a staging prefix and builds a C program
# against it the way users do: with `pkg-config --cflags --libs kivclient`.
# -DBUILD_DIR= -DSTAGE= -DSOURCE= -DCC= [-DEXTRA_FLAGS=]
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE} --component kivclient
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
file(GLOB_RECURSE pc ${STAGE}/kivclient.pc)
if(NOT pc)
  message(FATAL_ERROR "kivclient.pc was not installed under ${STAGE}")
endif()
get_filename_component(pcdir ${pc} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
execute_process(COMMAND pkg-config --cflags --libs kivclient OUTPUT_VARIABLE flags
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "pkg-config kivclient failed")
endif()
message(STATUS "pkg-config --cflags --libs kivclient: ${flags}")
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${CC} -Wall -Wextra -Werror ${EXTRA_FLAGS} ${SOURCE} ${flags} -o ${STAGE}/kivclient-example
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building ${SOURCE} against the staged library failed")
endif()

# The library exports the C API and nothing else, under SONAME libkivclient.so.1.
file(GLOB_RECURSE lib ${STAGE}/libkivclient.so.1)
execute_process(COMMAND nm -D --defined-only ${lib} OUTPUT_VARIABLE syms RESULT_VARIABLE rc)
string(REGEX MATCHALL "[^\n ]+\n" names "${syms}")
list(TRANSFORM names STRIP)
list(SORT names)
set(api KIVCLIENT_1 kiv_authenticate@@KIVCLIENT_1 kiv_result_free@@KIVCLIENT_1 kiv_strerror@@KIVCLIENT_1
    kiv_strresult@@KIVCLIENT_1)
if(rc OR NOT names STREQUAL api)
  message(FATAL_ERROR "libkivclient.so.1 exports: ${names}\nexpected only: ${api}")
endif()
execute_process(COMMAND objdump -p ${lib} OUTPUT_VARIABLE dyn)
if(NOT dyn MATCHES "SONAME +libkivclient\\.so\\.1\n")
  message(FATAL_ERROR "libkivclient has no SONAME libkivclient.so.1")
endif()
