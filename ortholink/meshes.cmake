# Link meshes: the streams under assets/ become read-only byte arrays at build time
# (assets/embed.cmake), decoded on request with vantle.

# The one list of models with geometry, by CrxModel member name; each has its streams in
# assets/<lower-case name>/. The library's table of models is generated from it.
set(ORTHOLINK_MESH_MODELS Crx5iA Crx10iA)
set(_ortholink_mesh_streams "")
foreach(_model IN LISTS ORTHOLINK_MESH_MODELS)
  string(TOLOWER ${_model} _folder)
  foreach(_index RANGE 6)
    list(APPEND _ortholink_mesh_streams ${CMAKE_CURRENT_SOURCE_DIR}/assets/${_folder}/link${_index}.vntl)
  endforeach()
endforeach()
list(JOIN ORTHOLINK_MESH_MODELS "," _ortholink_mesh_model_list)

set(_ortholink_embedded_source ${CMAKE_CURRENT_BINARY_DIR}/embedded_meshes.cpp)
add_custom_command(
  OUTPUT ${_ortholink_embedded_source}
  COMMAND ${CMAKE_COMMAND} -DASSETS=${CMAKE_CURRENT_SOURCE_DIR}/assets -DMODELS=${_ortholink_mesh_model_list}
          -DOUTPUT=${_ortholink_embedded_source} -P ${CMAKE_CURRENT_SOURCE_DIR}/assets/embed.cmake
  DEPENDS ${_ortholink_mesh_streams} ${CMAKE_CURRENT_SOURCE_DIR}/assets/embed.cmake
  COMMENT "Embedding the link mesh streams"
  VERBATIM)

add_library(ortholink_meshes STATIC src/meshes.cpp src/urdf_package.cpp ${_ortholink_embedded_source})
add_library(ortholink::meshes ALIAS ortholink_meshes)
target_include_directories(ortholink_meshes PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(ortholink_meshes PUBLIC ortholink::core vantle::vantle PRIVATE $<BUILD_INTERFACE:ortholink_warnings>)

if(TARGET ortholink_tests)
  target_sources(ortholink_tests PRIVATE tests/urdf_package_test.cpp tests/collision/envelope_test.cpp)
  target_link_libraries(ortholink_tests PRIVATE ortholink_meshes)
endif()
