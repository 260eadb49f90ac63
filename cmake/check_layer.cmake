# Fails when a file of one layer includes a file of a folder that the layer may not use.
#
#   cmake -DLAYER=engine -DROOT=<src> -DFILES=<a|b|...> -DALLOWED=<folder|...> \
#         -DSTAMP=<file> -P check_layer.cmake
#
# Every #include, quoted or in angle brackets, that names a file of the source tree (found
# beside the including file or below ROOT) is checked: the folder holding it, relative to
# ROOT, must be one of ALLOWED. Includes of anything else (the standard library, Python.h)
# are not looked at. STAMP is written when every include passes.
string(REPLACE "|" ";" files "${FILES}")
string(REPLACE "|" ";" allowed "${ALLOWED}")
set(broken "")
foreach(file IN LISTS files)
  get_filename_component(here "${file}" DIRECTORY)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*$" "\\1" name "${line}")
    if(EXISTS "${here}/${name}")
      set(target "${here}/${name}")
    elseif(EXISTS "${ROOT}/${name}")
      set(target "${ROOT}/${name}")
    else()
      continue()
    endif()
    file(REAL_PATH "${target}" target)
    file(RELATIVE_PATH relative "${ROOT}" "${target}")
    get_filename_component(folder "${relative}" DIRECTORY)
    if(NOT folder IN_LIST allowed)
      file(RELATIVE_PATH shown "${ROOT}" "${file}")
      string(APPEND broken "\n  ${shown}: ${line}  (${folder} is above the ${LAYER} layer)")
    endif()
  endforeach()
endforeach()
if(broken)
  string(REPLACE ";" ", " allowed "${allowed}")
  message(FATAL_ERROR "The ${LAYER} layer may include only from ${allowed}:${broken}")
endif()
file(TOUCH "${STAMP}")
