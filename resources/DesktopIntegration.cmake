# Installed files besides the programs, built into ${CMAKE_CURRENT_BINARY_DIR}:
#   icons      the program's icon in the hicolor theme at every size a desktop asks for, scaled from
#              ui/images/quillo.png with ImageMagick
#   metainfo   AppStream metadata for software centres (its id follows QUILLO_HOMEPAGE's host)
#   man pages  quillo(1), quillo-desktop(1), quillo-server(1), made by help2man from the programs'
#              own --help, so that they cannot drift from it
#   completion bash (and zsh) completion for quillo
#   doc        copyright and changelog in /usr/share/doc/quillo

if(QUILLO_GUI)
    find_program(QUILLO_CONVERT NAMES convert)
    set(icon_source ${CMAKE_SOURCE_DIR}/ui/images/quillo.png)
    set(icon_files)
    if(QUILLO_CONVERT)
        foreach(size 16 24 32 48 64 128 256)
            set(folder ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}/apps)
            # 8-bit RGBA, without the time stamps ImageMagick writes, so that builds are reproducible.
            add_custom_command(OUTPUT ${folder}/quillo.png
                COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
                COMMAND ${QUILLO_CONVERT} ${icon_source} -filter Lanczos -resize ${size}x${size} -depth 8 -strip
                        -define png:exclude-chunks=date,time PNG32:${folder}/quillo.png
                DEPENDS ${icon_source} VERBATIM)
            list(APPEND icon_files ${folder}/quillo.png)
            install(FILES ${folder}/quillo.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
        endforeach()
        add_custom_target(quillo_icons ALL DEPENDS ${icon_files})
    else()
        message(WARNING "ImageMagick's convert was not found: only the 256-pixel icon is installed")
        install(FILES ${icon_source} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
    endif()

    # example.quillo for https://quillo.example/; screenshots are published beside the homepage.
    string(REGEX REPLACE "^[A-Za-z]+://([^/:]+).*$" "\\1" homepage_host "${QUILLO_HOMEPAGE}")
    string(REPLACE "." ";" host_parts "${homepage_host}")
    list(REVERSE host_parts)
    list(JOIN host_parts "." reversed_host)
    string(TOLOWER "${reversed_host}.uploader" QUILLO_APPSTREAM_ID)
    string(REGEX REPLACE "/+$" "" homepage_base "${QUILLO_HOMEPAGE}")
    set(QUILLO_SCREENSHOT_BASE "${homepage_base}/screenshots")
    set(QUILLO_APPSTREAM_ID ${QUILLO_APPSTREAM_ID} PARENT_SCOPE)
    configure_file(quillo.metainfo.xml.in ${CMAKE_CURRENT_BINARY_DIR}/${QUILLO_APPSTREAM_ID}.metainfo.xml @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${QUILLO_APPSTREAM_ID}.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# Running the programs at build time does not fit instrumented or cross builds.
if(QUILLO_SANITIZE OR QUILLO_FUZZ OR CMAKE_CROSSCOMPILING)
    set(man_default OFF)
else()
    set(man_default ON)
endif()
option(QUILLO_MAN_PAGES "Make the manual pages with help2man from the programs' --help" ${man_default})
find_program(QUILLO_HELP2MAN help2man)
if(QUILLO_MAN_PAGES AND NOT QUILLO_HELP2MAN)
    message(WARNING "help2man was not found: no manual pages")
endif()

# quillo_man_page(<program> <one-line description> [help2man options...])
function(quillo_man_page program description)
    if(NOT QUILLO_MAN_PAGES OR NOT QUILLO_HELP2MAN)
        return()
    endif()
    set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
    # The service host in the help text is the build's, not whatever the shell has set.
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -E env --unset=QUILLO_SERVICE_HOST LC_ALL=C.UTF-8
                ${QUILLO_HELP2MAN} --no-info --locale=C.UTF-8 --section=1 --name=${description}
                --include=${CMAKE_CURRENT_SOURCE_DIR}/man/${program}.h2m ${ARGN}
                --output=${page} $<TARGET_FILE:${program}>
        COMMAND sed -i -f ${CMAKE_CURRENT_SOURCE_DIR}/man/cjk.sed ${page}
        COMMAND gzip -9nf ${page}
        DEPENDS ${program} ${CMAKE_CURRENT_SOURCE_DIR}/man/${program}.h2m ${CMAKE_CURRENT_SOURCE_DIR}/man/cjk.sed
        VERBATIM)
    add_custom_target(quillo_man_${program} ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

quillo_man_page(quillo "publish iOS and Android test builds to Quillo from the command line")
quillo_man_page(quillo-server "local stand-in of the Quillo service" --version-string=${PROJECT_VERSION})
if(QUILLO_GUI)
    quillo_man_page(quillo-desktop "status-bar uploader of iOS and Android test builds to Quillo")
endif()

install(FILES completion/quillo.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quillo)
install(FILES completion/_quillo DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)

configure_file(debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz
    COMMAND gzip -9nkf ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog VERBATIM)
add_custom_target(quillo_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
install(FILES debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillo)
