# Per-generator settings, read by cpack before each generator runs
# (CPACK_PROJECT_CONFIG_FILE): only the installer's name differs.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_VARNEL_SETUP_FILE_NAME}")
endif()
