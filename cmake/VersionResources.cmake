# Version resources: each program and bundle carries a resource file with 'vers' 1, 2 and 3
# made from the project's version at build time by tools/mkvers.cpp (see there).
#
# velm_version_resources(TARGET OUTPUT FILE-NAME INSTALL-DIR): writes the resource file OUTPUT
# before TARGET is built and installs it into INSTALL-DIR.
add_executable(velm_mkvers ${PROJECT_SOURCE_DIR}/tools/mkvers.cpp ${PROJECT_SOURCE_DIR}/platform/files/ResourceFork.cpp)
set_target_properties(velm_mkvers PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
target_include_directories(velm_mkvers PRIVATE ${PROJECT_SOURCE_DIR}/platform ${PROJECT_SOURCE_DIR}/platform/files)

function(velm_version_resources target output file_name install_dir)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/tools
    COMMAND velm_mkvers ${output} ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR}
            ${PROJECT_VERSION_PATCH} ${file_name} "Velm Uploader"
    DEPENDS velm_mkvers
    COMMENT "Version resources of ${file_name}"
    VERBATIM)
  add_custom_target(${target}_version_resources ALL DEPENDS ${output})
  add_dependencies(${target} ${target}_version_resources)
  install(FILES ${output} DESTINATION ${install_dir})
endfunction()
