# dud_add_tests(<library> [LABELS l...] [LIBS extra...]): every *_test.cpp of the calling folder
# becomes its own test executable linked with GoogleTest, GoogleMock, the shared test support and
# the library, so one unfinished test file never stops the others from building.
function(dud_add_tests lib)
  cmake_parse_arguments(ARG "" "" "LABELS;LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
  foreach(src ${tests})
    get_filename_component(name ${src} NAME_WE)
    set(target ${lib}_${name})
    add_executable(${target} ${src} ${support})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target} PRIVATE ${lib} ${ARG_LIBS} dud_test_support GTest::gtest GTest::gmock GTest::gtest_main dud_warnings)
    # One label per test: a list here would be split into separate properties by the discovery
    # script, losing the label and the environment.
    if(ARG_LABELS)
      list(GET ARG_LABELS 0 label)
    else()
      set(label ${lib})
    endif()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label}
                         ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  endforeach()
endfunction()
