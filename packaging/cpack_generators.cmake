# Read by cpack once per generator (CPACK_PROJECT_CONFIG_FILE): the Debian packages hold the
# server and the agent, each with its system files; an archive is the operators' bundle, one
# folder named after the bundle.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL server server_system agent agent_system)
  set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
else()
  set(CPACK_COMPONENTS_ALL bundle)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_LAUNCHER_BUNDLE_NAME}")
endif()
