# Checks the floors of the kit's folders: a file may include files of its own folder and of folders
# on lower floors only, so every arrow between folders points down. The platform layer includes
# nothing of the kit.
#
#   cmake -DSOURCE_DIR=<repository> -P check_layers.cmake

set(floor_platform 0)
set(floor_kit/model 1)
set(floor_kit/io 2)
set(floor_kit/service 2)
set(floor_kit/zip 2)
set(floor_kit/head 3)
set(floor_kit/loader 3)
set(floor_kit/render 3)       # the direct road, with the shader library
set(floor_kit/render/sr 4)    # the super-resolution road, on top of the direct one
set(floor_kit/conversation 4)
set(floor_kit/view 5)

# The folder a path belongs to: platform, kit/<name>, or kit/render/sr.
function(folder_of path out)
  if(path MATCHES "^platform/")
    set(${out} platform PARENT_SCOPE)
  elseif(path MATCHES "^kit/render/sr/")
    set(${out} kit/render/sr PARENT_SCOPE)
  elseif(path MATCHES "^(kit/[^/]+)/")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/kit/*.hpp ${SOURCE_DIR}/kit/*.cpp
     ${SOURCE_DIR}/platform/*.hpp ${SOURCE_DIR}/platform/*.cpp)
set(violations "")
foreach(source IN LISTS sources)
  folder_of(${source} from)
  if(NOT DEFINED floor_${from})
    string(APPEND violations "\n  ${source}: its folder ${from} has no floor in this check")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^#include \"(kit|platform)/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
    folder_of(${included} to)
    if(to STREQUAL from)
      continue()
    endif()
    if(NOT DEFINED floor_${to} OR NOT floor_${to} LESS floor_${from})
      string(APPEND violations "\n  ${source} (${from}) includes ${included} (${to})")
    endif()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Includes that point up or across the kit's floors:${violations}")
endif()
list(LENGTH sources count)
message(STATUS "${count} files of kit/ and platform/ include only their own folder and lower floors")
