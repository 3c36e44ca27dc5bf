# Stored descriptions are text files compiled into the library that uses them.
# vantry_embed_description(<target> <file>) turns <file> into a C++ source that
# defines `VantryDescription_<stem>`, a TDescriptionData the unit registers with
#   VANTRY_DESCRIPTION(<stem>)
# so the data is linked exactly where the class that reads it is.

set(VANTRY_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/EmbedDescriptionFile.cmake)

function(vantry_embed_description target file)
  get_filename_component(abs "${file}" ABSOLUTE)
  get_filename_component(stem "${file}" NAME_WE)
  get_filename_component(name "${file}" NAME)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/descriptions/${stem}_description.cpp")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -DIN=${abs} -DOUT=${out} -DSTEM=${stem} -DNAME=${name}
            -P ${VANTRY_EMBED_SCRIPT}
    DEPENDS "${abs}" ${VANTRY_EMBED_SCRIPT}
    COMMENT "Embedding stored description ${name}"
    VERBATIM)
  target_sources(${target} PRIVATE "${out}")
endfunction()
