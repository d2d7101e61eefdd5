# One agent outage scenario per way an agent fails, so that ctest runs the
# three minutes of outage side by side.
foreach(mode dies hangs garbage)
  add_test(NAME agent_${mode}_e2e
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/agent_outage.sh ${CMAKE_BINARY_DIR} ${mode})
  set_tests_properties(agent_${mode}_e2e PROPERTIES LABELS e2e TIMEOUT 300 SKIP_RETURN_CODE 77)
endforeach()
# Three minutes of a full node, plus start-up and checks.
set_tests_properties(fleet64_e2e PROPERTIES TIMEOUT 420)
# The outlier mode's shortest window is 100 cycles of 3 seconds.
set_tests_properties(replay_e2e PROPERTIES TIMEOUT 420)
