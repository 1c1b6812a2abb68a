# SPDX-FileCopyrightText: The dg318 developers
# SPDX-License-Identifier: BSD-3-Clause

# The Debian package: cpack -G DEB in a build folder.
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

include(CPack)
