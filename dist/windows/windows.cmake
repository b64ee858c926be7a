# The Windows package, included by cli/CMakeLists.txt in a Windows build: stravik.exe,
# stravik-cli.exe and virtual-card.exe in the install prefix's top, with the DLLs they load
# (Qt's and MinGW's, found by CMake from their imports), Qt's platform and style plugins beside
# them where Qt looks first, and Qt's Simplified Chinese translations in translations/. CPack
# packs it as stravik-3.3-windows-x64.zip and stravik-3.3-setup.exe:
#
#   cmake --install build-windows --prefix DIR --strip   the staged tree
#   cpack --config build-windows/CPackConfig.cmake       the zip and the installer
include_guard(GLOBAL)

install(TARGETS stravik stravik-cli virtual-card RUNTIME_DEPENDENCY_SET stravik_dlls
        RUNTIME DESTINATION .)
install(IMPORTED_RUNTIME_ARTIFACTS Qt6::QWindowsIntegrationPlugin
        RUNTIME_DEPENDENCY_SET stravik_dlls LIBRARY DESTINATION platforms)
install(IMPORTED_RUNTIME_ARTIFACTS Qt6::QWindowsVistaStylePlugin
        RUNTIME_DEPENDENCY_SET stravik_dlls LIBRARY DESTINATION styles)

# Where the DLLs are: Qt's bin and MinGW's runtime (libstdc++, libgcc_s, winpthread), as the
# compiler names them. A cross build has no windeployqt; Qt's and MinGW's DLLs ship, every other
# one is Windows's own (names are matched in lower case).
set(dll_dirs ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS})
foreach(dll libstdc++-6.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
  endif()
  get_filename_component(dir "${path}" DIRECTORY)
  list(APPEND dll_dirs ${dir})
endforeach()
# CMake looks the imported names up in lower case, which this file system tells apart: a folder
# of the build offers Qt's DLLs under lower-case links. Installing follows a link to Qt's file,
# which keeps its own name, and puts the link beside it; the rule at the end takes the link away.
set(dll_links ${CMAKE_BINARY_DIR}/dll-links)
file(MAKE_DIRECTORY ${dll_links})
file(GLOB qt_dlls ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}/*.dll)
foreach(dll ${qt_dlls})
  get_filename_component(name ${dll} NAME)
  string(TOLOWER ${name} lower)
  file(CREATE_LINK ${dll} ${dll_links}/${lower} SYMBOLIC)
endforeach()
install(RUNTIME_DEPENDENCY_SET stravik_dlls DESTINATION .
        DIRECTORIES ${dll_links} ${dll_dirs}
        PRE_INCLUDE_REGEXES "^qt6" "^lib"
        PRE_EXCLUDE_REGEXES ".*")

# Qt's own texts (the buttons of its message boxes) in Chinese, from qt6-translations-l10n.
set(STRAVIK_QT_TRANSLATIONS /usr/share/qt6/translations
    CACHE PATH "Where Qt's zh_CN translations are (qt6-translations-l10n)")
foreach(qm qtbase_zh_CN.qm qt_zh_CN.qm)
  if(NOT EXISTS ${STRAVIK_QT_TRANSLATIONS}/${qm})
    message(FATAL_ERROR "no ${STRAVIK_QT_TRANSLATIONS}/${qm}: install qt6-translations-l10n")
  endif()
  install(FILES ${STRAVIK_QT_TRANSLATIONS}/${qm} DESTINATION translations)
endforeach()

# A signed build (scripts/windows --sign or --sign-pkcs11): every program and DLL installed, the
# installer and the uninstaller carry an Authenticode signature (dist/windows/sign.cmake). The
# password or PIN is read from the environment as each file is signed and is never cached.
set(STRAVIK_SIGN_PKCS12 "" CACHE FILEPATH "Sign the Windows build with this PKCS#12 file's key")
set(STRAVIK_SIGN_PKCS11 "" CACHE STRING "Sign the Windows build with the token key of this URI")
set(STRAVIK_SIGN_TIMESTAMP "" CACHE STRING "The RFC 3161 timestamp server of a signed build")
set(sign_script)
set(sign_install)
if(STRAVIK_SIGN_PKCS12 AND STRAVIK_SIGN_PKCS11)
  message(FATAL_ERROR "sign with STRAVIK_SIGN_PKCS12 or with STRAVIK_SIGN_PKCS11, not both")
elseif(STRAVIK_SIGN_PKCS12 AND NOT EXISTS "${STRAVIK_SIGN_PKCS12}")
  message(FATAL_ERROR "no such PKCS#12 file: ${STRAVIK_SIGN_PKCS12}")
elseif(STRAVIK_SIGN_PKCS12 OR STRAVIK_SIGN_PKCS11)
  find_program(STRAVIK_OSSLSIGNCODE osslsigncode REQUIRED)
  set(sign_script ${CMAKE_BINARY_DIR}/sign.cmake)
  # Signed copies of an earlier configure's files are not reused.
  file(REMOVE_RECURSE ${CMAKE_BINARY_DIR}/signed)
  file(WRITE ${sign_script} "set(osslsigncode [==[${STRAVIK_OSSLSIGNCODE}]==])
set(sign_pkcs12 [==[${STRAVIK_SIGN_PKCS12}]==])
set(sign_pkcs11 [==[${STRAVIK_SIGN_PKCS11}]==])
set(sign_timestamp [==[${STRAVIK_SIGN_TIMESTAMP}]==])
set(sign_cache [==[${CMAKE_BINARY_DIR}/signed]==])
include([==[${CMAKE_CURRENT_LIST_DIR}/sign.cmake]==])
")
  set(sign_install "include(\"${sign_script}\")\n  stravik_sign(\${binaries})")
endif()

# The lower-case links go. What ships is stripped, the DLLs and plugins as well as the programs;
# debug information stays in the build. Stripping stamps a PE file with the time, taken from
# SOURCE_DATE_EPOCH when set: the configure's time here, so that every install of one build (the
# staged tree, the zip, the installer) holds the same bytes.
string(TIMESTAMP configured %s)
install(CODE "
  set(ENV{SOURCE_DATE_EPOCH} ${configured})
  file(GLOB_RECURSE binaries LIST_DIRECTORIES false
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.dll\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.exe\")
  foreach(file \${binaries})
    if(IS_SYMLINK \${file})
      file(REMOVE \${file})
      list(REMOVE_ITEM binaries \${file})
    endif()
  endforeach()
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \${binaries}
                    RESULT_VARIABLE strip_result)
    if(NOT strip_result EQUAL 0)
      message(FATAL_ERROR \"stripping the DLLs failed: \${strip_result}\")
    endif()
  endif()
  ${sign_install}")

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME stravik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Stravik developers")
set(CPACK_STRIP_FILES ON)
# dist/windows/cpack-options.cmake names each package.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-options.cmake)
# The installer: dist/windows/NSIS.template.in, with these values.
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_NSIS_PACKAGE_NAME Stravik)
set(CPACK_NSIS_DISPLAY_NAME "Stravik ${PROJECT_VERSION}")
set(CPACK_NSIS_BRANDING_TEXT "Stravik ${PROJECT_VERSION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Stravik)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Stravik)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_MUI_FINISHPAGE_RUN stravik.exe)
# A second Start-menu entry: the virtual card with its window, listening where the tool's 串口
# then reaches it by tcp://, to try the tool without a card.
set(CPACK_NSIS_STRAVIK_CARD_LINK "Stravik 虚拟控制卡")
set(CPACK_NSIS_STRAVIK_CARD_PROGRAM virtual-card.exe)
set(CPACK_NSIS_STRAVIK_CARD_ARGUMENTS "--listen ${STRAVIK_VIRTUAL_CARD_LISTEN}")
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
set(CPACK_NSIS_STRAVIK_CMAKE ${CMAKE_COMMAND})
set(CPACK_NSIS_STRAVIK_SIGN_SCRIPT "${sign_script}")
include(CPack)
