# SPDX-FileCopyrightText: The dg318 developers
# SPDX-License-Identifier: BSD-3-Clause

# The Debian package (cpack -G DEB in a build folder), or on Windows a zip and an installer.
set(CPACK_PACKAGE_NAME dg318)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION [[
dg318 connects over TCP (port 4000) to a Tarvo Model 318 delay generator,
sets and reads back the frequency of its two sources and the trigger, width,
amplitude and delay of its nine channels.
The package also contains dg318-sim, an instrument simulator for trying the
program without the hardware.]])
set(CPACK_PACKAGE_CONTACT "The dg318 developers <dg318@example.org>")
set(CPACK_STRIP_FILES ON)
if(WIN32)
    # scripts/package-windows: a zip to unpack and run, and an installer made with NSIS.
    set(CPACK_GENERATOR ZIP NSIS)
    set(CPACK_SYSTEM_NAME windows-x86_64)
    set(CPACK_PACKAGE_VENDOR "The dg318 developers")
    set(CPACK_PACKAGE_INSTALL_DIRECTORY "DG318 Delay Generator")
    set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY dg318)
    set(CPACK_NSIS_PACKAGE_NAME "DG318 Delay Generator")
    set(CPACK_NSIS_DISPLAY_NAME "DG318 Delay Generator")
    set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/data/icons/org.tarvo.dg318.ico)
    set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/data/icons/org.tarvo.dg318.ico)
    set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSES/BSD-3-Clause.txt)
    # The installer is our own (cmake/NSIS.template.in): with administrator rights it installs
    # for every user of the PC, without them for the user who runs it.
    list(APPEND CMAKE_MODULE_PATH ${PROJECT_SOURCE_DIR}/cmake)
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-windows.cmake)
    # The zip unpacks into one folder named after it.
    set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

    # The licences: the project's, and the notices that the DLLs it ships call for, which come
    # with the Qt they were built from (scripts/test-windows writes them beside that Qt).
    install(FILES LICENSES/BSD-3-Clause.txt DESTINATION . RENAME LICENSE.txt)
    set(DG318_THIRD_PARTY_NOTICES "${QT6_INSTALL_PREFIX}/share/dg318-notices" CACHE PATH
        "Folder of the third-party notices and licence texts that go with the Qt DLLs shipped")
    if(EXISTS "${DG318_THIRD_PARTY_NOTICES}/THIRD-PARTY-NOTICES.txt")
        install(DIRECTORY "${DG318_THIRD_PARTY_NOTICES}/" DESTINATION .)
    else()
        message(WARNING "No THIRD-PARTY-NOTICES.txt in ${DG318_THIRD_PARTY_NOTICES}: a Windows "
            "package made from this build lacks the notices of the DLLs it ships")
    endif()
else()
    # Stripped as Debian strips its own packages: without the compilers' version
    # notes either.
    foreach(program dg318 dg318-sim)
        install(CODE "
            if(CMAKE_INSTALL_DO_STRIP)
                execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                    COMMAND_ERROR_IS_FATAL ANY)
            endif()")
    endforeach()
    # Folders the install creates on the way are 0755 whatever the umask.
    set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION science)
    # dpkg-shlibdeps finds the Qt libraries the programs link to; the platform
    # plugins are loaded at run time, so the window needs them named here.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
endif()

include(CPack)
