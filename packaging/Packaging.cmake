# Release packages of the Windows program: an NSIS installer and a portable zip,
# made by CPack from the install rules below (`--target package`).
# Included from the top-level CMakeLists.txt on Windows builds only.

# One version: the project's. The version resource and the manifest carry it as
# literals, so a mismatch stops the configure rather than shipping a package
# whose name disagrees with the program's own Properties.
file(STRINGS ${PROJECT_SOURCE_DIR}/resources/resource.h _varnel_rc_version
     REGEX "^#define VARNEL_VERSION_STRING ")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" _varnel_rc_version "${_varnel_rc_version}")
if(NOT _varnel_rc_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "resources/resource.h says version ${_varnel_rc_version}, "
                      "CMakeLists.txt says ${PROJECT_VERSION}: make them agree")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/resources/varnel.manifest _varnel_manifest_version
     REGEX "assemblyIdentity type=\"win32\" name=\"Pellworth.Varnel\"")
if(NOT _varnel_manifest_version MATCHES "version=\"${PROJECT_VERSION}\\.0\"")
  message(FATAL_ERROR "resources/varnel.manifest does not carry version ${PROJECT_VERSION}.0")
endif()

# The texts for Windows (user_guide.py): README.txt is the user's guide cut
# from README.md, not the whole developer README; all three get Windows line
# ends.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(_varnel_texts ${CMAKE_BINARY_DIR}/texts)
add_custom_command(
  OUTPUT ${_varnel_texts}/README.txt ${_varnel_texts}/LICENSE.txt ${_varnel_texts}/RUNNING.txt
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/user_guide.py ${PROJECT_SOURCE_DIR}
          ${_varnel_texts} ${PROJECT_VERSION}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/user_guide.py ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_LIST_DIR}/RUNNING.txt
  COMMENT "Cutting the user's guide from README.md"
  VERBATIM)
add_custom_target(varnel_texts ALL
  DEPENDS ${_varnel_texts}/README.txt ${_varnel_texts}/LICENSE.txt ${_varnel_texts}/RUNNING.txt)

# What both packages hold. Text files get Windows names so that a double click
# opens them; InpOut32.dll is never among them (the user supplies it) and the
# simulated receiver in tools/ has no install rule at all.
install(TARGETS varnel varnel-monitor RUNTIME DESTINATION . COMPONENT program)
install(FILES ${_varnel_texts}/README.txt ${_varnel_texts}/LICENSE.txt DESTINATION . COMPONENT program)
# Only the zip: how to run it without the installer.
install(FILES ${_varnel_texts}/RUNNING.txt DESTINATION . COMPONENT portable)

# The 64-bit build packages too, under names that say so; only the 32-bit
# packages ship, and the Wine tests run that installer (in a 32-bit Wine).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_varnel_arch_suffix "-x64")
  set(CPACK_VARNEL_NSIS_TARGET "amd64-unicode")
  set(CPACK_VARNEL_PROGRAM_FILES "$PROGRAMFILES64")
  set(CPACK_VARNEL_BITS 64)
else()
  set(_varnel_arch_suffix "")
  set(CPACK_VARNEL_NSIS_TARGET "x86-unicode")
  # A 32-bit program belongs in "Program Files (x86)" on 64-bit Windows.
  set(CPACK_VARNEL_PROGRAM_FILES "$PROGRAMFILES")
  set(CPACK_VARNEL_BITS 32)
endif()

set(CPACK_GENERATOR "NSIS;ZIP")
set(CPACK_PACKAGE_NAME "Varnel")
set(CPACK_PACKAGE_VENDOR "Pellworth")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Keeps the PC's clock right from the MSF 60 kHz time signal")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_FILE_NAME "varnel-${PROJECT_VERSION}${_varnel_arch_suffix}")
set(CPACK_VARNEL_SETUP_FILE_NAME "varnel-${PROJECT_VERSION}${_varnel_arch_suffix}-setup")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Varnel")
set(CPACK_STRIP_FILES ON)

# One staging tree for both generators (the zip puts it under varnel-<version>/);
# the installer script picks its files from it by name.
set(CPACK_MONOLITHIC_INSTALL ON)

# The installer comes from our own NSIS script (nsis/NSIS.template.in): CPack's
# stock one brings PATH editing and component machinery Varnel has no use for,
# and has no place for a log-on task or the InpOut32.dll check.
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/nsis)
# The helper the script packs into installer and uninstaller (setup_helper/).
set(CPACK_VARNEL_SETUP_HELPER ${PROJECT_BINARY_DIR}/packaging/setup_helper/varnel-setup-helper.exe)
set(CPACK_VARNEL_VERSION_COMMA "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# A makensis warning (an unused variable, a page macro misspelt) fails the build.
set(CPACK_NSIS_EXECUTABLE_PRE_ARGUMENTS -WX)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/generator_settings.cmake)

include(CPack)
