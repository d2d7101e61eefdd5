# Tests of spindlekeep-agent: they link the agent's library, start the real
# agent binary, read recorded smartctl outputs and judge answers with the
# daemon's own checks (spk_core).
set(SPK_SMARTCTL_DATA ${CMAKE_SOURCE_DIR}/tests/data/smartctl CACHE PATH
    "directory of recorded smartctl -j outputs used by the agent's parser tests")
add_library(spk_agent_test_util STATIC ${CMAKE_CURRENT_LIST_DIR}/agent_test_util.cpp)
target_include_directories(spk_agent_test_util PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(spk_agent_test_util PUBLIC spk_agent_lib spk_core spk_test_support GTest::gtest)
# A cross build runs the agent through the emulator: the kernel cannot exec
# a foreign program by itself, so the tests start a wrapper script instead.
set(SPK_AGENT_BIN "$<TARGET_FILE:spindlekeep-agent>")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " spk_emulator)
  set(SPK_AGENT_BIN ${CMAKE_CURRENT_BINARY_DIR}/spindlekeep-agent-emulated)
  file(GENERATE OUTPUT ${SPK_AGENT_BIN}
       CONTENT "#!/bin/sh\nexec ${spk_emulator} $<TARGET_FILE:spindlekeep-agent> \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
endif()
target_compile_definitions(spk_agent_test_util PUBLIC
  SPK_AGENT_BIN="${SPK_AGENT_BIN}"
  SPK_AGENT_SOURCE_DIR="${CMAKE_SOURCE_DIR}/tools/spindlekeep-agent"
  SPK_SMARTCTL_DATA="${SPK_SMARTCTL_DATA}")
file(GLOB SPK_AGENT_TESTS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
foreach(src ${SPK_AGENT_TESTS})
  get_filename_component(name ${src} NAME_WE)
  target_link_libraries(${name} PRIVATE spk_agent_test_util)
  add_dependencies(${name} spindlekeep-agent)
endforeach()

# The agent's fuzz targets under tests/fuzz/ need its library as well.
foreach(fuzz agent_request_fuzz agent_smartctl_fuzz agent_fleet_fuzz)
  foreach(target ${fuzz}_replay ${fuzz})
    if(TARGET ${target})
      target_link_libraries(${target} PRIVATE spk_agent_lib)
    endif()
  endforeach()
endforeach()
