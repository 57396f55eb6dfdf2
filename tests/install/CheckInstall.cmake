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
  share/vendrel/SMTP_Settings.html)
if(GUI)
  list(APPEND expected
    bin/vendrel
    share/applications/Vendrel.desktop
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

# A first start seeds the site list from the installed share/vendrel/Source.dat;
# without a destination it stops there, before any download.
set(home "${PREFIX}/home")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "XDG_DATA_HOME=${home}/data" "XDG_CONFIG_HOME=${home}/config"
                        "${PREFIX}/bin/vendrel-check"
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT EXISTS "${home}/data/Quorvan/Vendrel/Sites.dat")
  message(FATAL_ERROR "the installed vendrel-check did not seed Sites.dat: ${result} ${err}")
endif()
file(READ "${home}/data/Quorvan/Vendrel/Sites.dat" sites)
file(STRINGS "${PREFIX}/share/vendrel/Source.dat" source_lines)
list(LENGTH source_lines count)
if(count EQUAL 0)
  message(FATAL_ERROR "the installed Source.dat is empty")
endif()
# The list is kept sorted, so each line is looked for on its own.
foreach(line IN LISTS source_lines)
  string(STRIP "${line}" line)
  string(FIND "${sites}" "${line}" at)
  if(NOT line STREQUAL "" AND at EQUAL -1)
    message(FATAL_ERROR "Sites.dat lacks the installed Source.dat's ${line}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
