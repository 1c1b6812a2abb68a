# SPDX-FileCopyrightText: The dg318 developers
# SPDX-License-Identifier: BSD-3-Clause

# Windows: each program's icon and version information, and a flat install folder (the two
# programs beside the DLLs and plugins they load, as a Windows user unpacks or installs it).

function(dg318_windows_resources target description)
    set(DG318_PROGRAM ${target})
    set(DG318_DESCRIPTION "${description}")
    set(DG318_ICON ${PROJECT_SOURCE_DIR}/data/icons/org.tarvo.dg318.ico)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/data/windows/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${DG318_ICON})
endfunction()

dg318_windows_resources(dg318 "DG318 Delay Generator remote control")
dg318_windows_resources(dg318-sim "DG318 Delay Generator simulator")

# What the programs load besides Windows's own DLLs, found at install time from what they and
# the plugins import: Qt's DLLs, and the MinGW runtime (libgcc, libstdc++, winpthreads). Qt loads
# its plugins by name, not by import: the Windows platform plugin and the styles go along.
set(qt_plugins ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS})
set(qt_bin ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS})
set(runtime_directories ${qt_bin})
foreach(runtime libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${found}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${runtime} is")
    endif()
    cmake_path(GET found PARENT_PATH folder)
    list(APPEND runtime_directories ${folder})
endforeach()

install(FILES ${qt_plugins}/platforms/qwindows.dll DESTINATION platforms)
file(GLOB qt_styles ${qt_plugins}/styles/*.dll)
install(FILES ${qt_styles} DESTINATION styles)
# CMake looks an imported name up in lower case, as Windows would, and then reads the file under
# the name as imported; the folders of a cross build are case-sensitive ("Qt6Core.dll"). It
# finds both among links named both ways.
install(CODE "
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${CMAKE_OBJDUMP}\")
    set(names \"${CMAKE_CURRENT_BINARY_DIR}/runtime-dll-names\")
    file(REMOVE_RECURSE \"\${names}\")
    file(MAKE_DIRECTORY \"\${names}\")
    foreach(directory ${runtime_directories})
        file(GLOB dlls \"\${directory}/*.dll\")
        foreach(dll \${dlls})
            cmake_path(GET dll FILENAME name)
            string(TOLOWER \"\${name}\" lower)
            foreach(link \${name} \${lower})
                if(NOT EXISTS \"\${names}/\${link}\")
                    file(CREATE_LINK \"\${dll}\" \"\${names}/\${link}\" SYMBOLIC)
                endif()
            endforeach()
        endforeach()
    endforeach()
    set(folder \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    file(GLOB plugins \"\${folder}/platforms/*.dll\" \"\${folder}/styles/*.dll\")
    file(GET_RUNTIME_DEPENDENCIES
        EXECUTABLES \"\${folder}/dg318.exe\" \"\${folder}/dg318-sim.exe\"
        MODULES \${plugins}
        DIRECTORIES \"\${names}\"
        RESOLVED_DEPENDENCIES_VAR found
        UNRESOLVED_DEPENDENCIES_VAR windows_own)
    set(shipped)
    foreach(link \${found})
        file(REAL_PATH \"\${link}\" dll)
        list(APPEND shipped \"\${dll}\")
    endforeach()
    list(SORT shipped)
    message(STATUS \"Loaded besides Windows's own DLLs: \${shipped}\")
    file(INSTALL \${shipped} DESTINATION \"\${folder}\")
    # Debian's MinGW runtime DLLs come with their symbols.
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(dll \${shipped})
            cmake_path(GET dll FILENAME name)
            execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${folder}/\${name}\"
                COMMAND_ERROR_IS_FATAL ANY)
        endforeach()
    endif()
")
