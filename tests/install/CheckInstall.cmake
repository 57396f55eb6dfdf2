# Installs the build into a fresh temporary prefix and checks that everything a
# desktop needs lands where it looks for it.
# Run with -DBUILD_DIR=... -DPREFIX=... -DGUI=ON|OFF -P CheckInstall.cmake

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(expected
  bin/vendrel-check
  share/vendrel/Source.dat
  share/vendrel/Readme.html
  share/vendrel/SMTP_Settings.html
  share/man/man1/vendrel-check.1.gz
  lib/systemd/user/vendrel-check.service
  lib/systemd/user/vendrel-check.timer)
if(GUI)
  list(APPEND expected
    bin/vendrel
    share/applications/Vendrel.desktop
    share/metainfo/example.quorvan.Vendrel.metainfo.xml
    share/man/man1/vendrel.1.gz
    share/icons/hicolor/scalable/apps/vendrel.svg)
  foreach(size 16 22 24 32 48 64 128 256)
    list(APPEND expected share/icons/hicolor/${size}x${size}/apps/vendrel.png)
  endforeach()
endif()
foreach(path IN LISTS expected)
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()

if(GUI)
  file(READ "${PREFIX}/share/applications/Vendrel.desktop" entry)
  foreach(line "[Desktop Entry]" "Type=Application" "Exec=vendrel" "Icon=vendrel" "Categories=Network;")
    string(FIND "${entry}" "${line}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "Vendrel.desktop lacks ${line}")
    endif()
  endforeach()
  # Every raster icon is a PNG of its own size.
  foreach(size 16 32 256)
    file(READ "${PREFIX}/share/icons/hicolor/${size}x${size}/apps/vendrel.png" png LIMIT 24 HEX)
    string(SUBSTRING "${png}" 0 16 magic)
    string(SUBSTRING "${png}" 32 8 width)
    math(EXPR actual_width "0x${width}")
    if(NOT magic STREQUAL "89504e470d0a1a0a" OR NOT actual_width EQUAL size)
      message(FATAL_ERROR "vendrel.png at ${size}x${size} is not a ${size}-pixel PNG")
    endif()
  endforeach()
endif()

# The installed one-pass command runs from its new place.
execute_process(COMMAND "${PREFIX}/bin/vendrel-check" --version
                RESULT_VARIABLE result OUTPUT_VARIABLE out)
if(NOT result EQUAL 0 OR NOT out MATCHES "^vendrel-check ")
  message(FATAL_ERROR "installed vendrel-check --version failed: ${result} ${out}")
endif()

# The installed one-pass command never seeds a site list (that is the tray
# program's first start): without "Sites.dat" it refuses, names the file, and
# leaves the data folder without one.
set(home "${PREFIX}/home")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "XDG_DATA_HOME=${home}/data" "XDG_CONFIG_HOME=${home}/config"
                        "${PREFIX}/bin/vendrel-check"
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT result EQUAL 2 OR NOT err MATCHES "Sites.dat")
  message(FATAL_ERROR "the installed vendrel-check without a site list: ${result} ${err}")
endif()
if(EXISTS "${home}/data/Quorvan/Vendrel/Sites.dat")
  message(FATAL_ERROR "the installed vendrel-check wrote Sites.dat")
endif()
file(STRINGS "${PREFIX}/share/vendrel/Source.dat" source_lines)
list(LENGTH source_lines count)
if(count EQUAL 0)
  message(FATAL_ERROR "the installed Source.dat is empty")
endif()
file(REMOVE_RECURSE "${PREFIX}")
