# The program is built in layers, bottom up: core (platform-free), the Windows base, the
# devices, the engine (card rings, control server, router), then the program and the tools.
# Each layer compiles against a view of the source tree that holds only itself and the layers
# below it: a folder in the build tree with links to those source folders. An include of a
# higher layer's header then fails to compile ("No such file or directory") instead of quietly
# tying a lower layer to a higher one.

# qova_layer_view(NAME FOLDER...): makes the view NAME of the given source folders (relative to
# the source root) and sets QOVA_VIEW_<NAME> to its path.
function(qova_layer_view name)
  set(view ${CMAKE_BINARY_DIR}/layers/${name})
  file(REMOVE_RECURSE ${view})
  foreach(folder IN LISTS ARGN)
    if(NOT IS_DIRECTORY ${PROJECT_SOURCE_DIR}/${folder})
      message(FATAL_ERROR "layer ${name}: no folder ${folder}")
    endif()
    get_filename_component(parent ${view}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC RESULT failure)
    if(failure)
      message(FATAL_ERROR "layer ${name}: cannot link ${view}/${folder}: ${failure}"
        " (on Windows, Developer Mode lets a user make symbolic links)")
    endif()
  endforeach()
  set(QOVA_VIEW_${name} ${view} PARENT_SCOPE)
endfunction()

# qova_check_headers(TARGET FOLDER...): compiles each header under the folders on its own,
# with TARGET's include paths and definitions, as part of the normal build. A header that only
# higher layers include would otherwise escape the views; this also keeps every header whole
# (it includes what it uses).
function(qova_check_headers target)
  set(sources)
  foreach(folder IN LISTS ARGN)
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    foreach(header IN LISTS headers)
      string(MAKE_C_IDENTIFIER ${header} stem)
      set(source ${CMAKE_CURRENT_BINARY_DIR}/header-checks/${stem}.cpp)
      set(text "#include \"${header}\"\n")
      if(EXISTS ${source})
        file(READ ${source} old)
      else()
        set(old "")
      endif()
      if(NOT old STREQUAL text)
        file(WRITE ${source} ${text})
      endif()
      list(APPEND sources ${source})
    endforeach()
  endforeach()
  add_library(${target}_headers OBJECT ${sources})
  target_link_libraries(${target}_headers PRIVATE ${target} qova_warnings)
endfunction()
