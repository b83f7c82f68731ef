# Installs the build into an empty prefix, then checks that the binary, the
# manual page and the licence landed there and that the installed binary runs.
file(REMOVE_RECURSE "${prefix}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${build}" --prefix "${prefix}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(file bin/client share/man/man1/client.1 share/doc/client/LICENSE)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
execute_process(COMMAND "${prefix}/bin/client" RESULT_VARIABLE status
                ERROR_VARIABLE usage TIMEOUT 10)
if(NOT status EQUAL 1 OR NOT usage STREQUAL "usage ${prefix}/bin/client hostname port\n")
  message(FATAL_ERROR "the installed client gave status ${status} and: ${usage}")
endif()
