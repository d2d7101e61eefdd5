# One agent outage scenario per way an agent dies, each followed by a way its
# answers go wrong, so that ctest runs the outages side by side.
foreach(modes "dies;oversize" "hangs;bad_envelope" "garbage;close")
  list(GET modes 0 first)
  add_test(NAME agent_${first}_e2e
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/agent_outage.sh ${CMAKE_BINARY_DIR} ${modes})
  set_tests_properties(agent_${first}_e2e PROPERTIES LABELS e2e TIMEOUT 300 SKIP_RETURN_CODE 77 COST 1000)
endforeach()
# Ten outlier cycles take half a minute at a light load, three minutes for
# the sanitizer build on a machine loaded twentyfold.
set_tests_properties(replay_e2e PROPERTIES TIMEOUT 420 COST 2000)
