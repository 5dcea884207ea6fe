# Builds the native test programs that drive the Windows patcher, configuring
# the native build first where there is none yet.
if(NOT EXISTS "${BINARY}/CMakeCache.txt")
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY}
                          -DCMAKE_BUILD_TYPE=RelWithDebInfo
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "configuring ${BINARY} failed")
  endif()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} --parallel 2
                        --target e2e_tests wine_tests
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building the test programs in ${BINARY} failed")
endif()
