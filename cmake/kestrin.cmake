# kestrin_library(NAME DEPS...): a static library from every .cc file in the calling folder.
# A subsystem folder without sources yet becomes an interface library, so the
# dependency graph stays the same while it grows.
function(kestrin_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  if(sources)
    add_library(kestrin_${name} STATIC ${sources})
    target_include_directories(kestrin_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(kestrin_${name} PUBLIC ${ARGN})
  else()
    add_library(kestrin_${name} INTERFACE)
    target_include_directories(kestrin_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(kestrin_${name} INTERFACE ${ARGN})
  endif()
endfunction()
