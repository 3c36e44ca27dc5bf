# An add-in library exports its entry point, INITEXPERT0017, and nothing else:
# every other symbol, the static libraries' and the C++ runtime's template
# code included, stays inside it.
set(VANTRY_ADDIN_EXPORTS ${CMAKE_CURRENT_LIST_DIR}/addin-exports.map)

function(vantry_export_entry_point_only target)
  target_link_options(${target} PRIVATE "-Wl,--version-script=${VANTRY_ADDIN_EXPORTS}" -Wl,--no-undefined)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${VANTRY_ADDIN_EXPORTS})
endfunction()
