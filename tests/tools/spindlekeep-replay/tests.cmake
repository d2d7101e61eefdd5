# Tests of spindlekeep-replay link its engine and read the committed trace slice.
if(TARGET replay_engine_test)
  target_link_libraries(replay_engine_test PRIVATE spk_replay_lib)
endif()
if(TARGET replay_slice_test)
  target_link_libraries(replay_slice_test PRIVATE spk_replay_lib)
  target_compile_definitions(replay_slice_test PRIVATE
    SPK_REPLAY_DATA="${CMAKE_CURRENT_LIST_DIR}/data")
endif()
add_test(NAME replay_cli_check
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/replay_cli_check.sh $<TARGET_FILE:spindlekeep-replay>
          ${CMAKE_CURRENT_LIST_DIR}/data)
set_tests_properties(replay_cli_check PROPERTIES LABELS unit TIMEOUT 120
  ENVIRONMENT "SPK_EMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}")
