# Tests of the tools' shared code link the library they test.
if(TARGET failslow_trace_test)
  target_link_libraries(failslow_trace_test PRIVATE failslow_trace)
endif()
