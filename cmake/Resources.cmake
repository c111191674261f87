# Numbered resources compiled into the binary.
#
#   quillon_add_resources(<target> <number> <type> <file> [<number> <type> <file> ...])
#
# makes a static library <target> that defines the resource table looked up by
# platform/resources.h. A program links exactly one such library.
set(QUILLON_RESOURCE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/EmbedResources.cmake)

function(quillon_add_resources target)
  set(args ${ARGN})
  list(LENGTH args n)
  math(EXPR rem "${n} % 3")
  if(NOT rem EQUAL 0)
    message(FATAL_ERROR "quillon_add_resources: entries come in threes (number type file)")
  endif()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_table.cpp)
  set(depends "")
  set(spec "")
  math(EXPR last "${n} - 1")
  foreach(i RANGE 0 ${last} 3)
    math(EXPR t "${i} + 1")
    math(EXPR f "${i} + 2")
    list(GET args ${i} number)
    list(GET args ${t} type)
    list(GET args ${f} file)
    if(NOT IS_ABSOLUTE "${file}")
      set(file ${CMAKE_CURRENT_SOURCE_DIR}/${file})
    endif()
    list(APPEND depends ${file})
    string(APPEND spec "${number}|${type}|${file};")
  endforeach()
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DOUT=${out} "-DSPEC=${spec}" -P ${QUILLON_RESOURCE_SCRIPT}
    DEPENDS ${depends} ${QUILLON_RESOURCE_SCRIPT}
    COMMENT "Embedding resources of ${target}"
    VERBATIM)
  add_library(${target} OBJECT ${out})
  target_link_libraries(${target} PRIVATE quillon_platform)
endfunction()
