# Tests of the tool and the launcher. The command tests run the commands
# in-process against the simulator (so they can look at what the chip saw);
# the launcher tests run the built programs as a user would.
# GoogleTest comes with vexa_test_support (tests/CMakeLists.txt).
include(GoogleTest)

function(vexa_add_tool_test source)
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  # The simulated libusb comes first so that it is loaded before libvexa.so.
  target_link_libraries(${name} PRIVATE vexa_usb_sim vexa_cli vexa vexa_test_support)
  set_target_properties(${name} PROPERTIES BUILD_RPATH "${VEXA_SIM_DIR};${CMAKE_BINARY_DIR}")
  target_compile_definitions(${name} PRIVATE
    VEXA_TOOL_PATH="$<TARGET_FILE:vexa_tool>"
    VEXA_SIM_LAUNCHER_PATH="$<TARGET_FILE:vexa-sim>"
    VEXA_SIM_DIR_PATH="${VEXA_SIM_DIR}"
    VEXA_EXAMPLES_DIR="${CMAKE_BINARY_DIR}/examples")
  add_dependencies(${name} vexa_tool vexa-sim)
  if(TARGET serial_echo AND TARGET event_reader)
    add_dependencies(${name} serial_echo event_reader)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 120)
endfunction()

file(GLOB VEXA_TOOL_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
foreach(source ${VEXA_TOOL_TESTS})
  vexa_add_tool_test(${source})
endforeach()
