# Installation and the Debian package.
#
# The installed tree is relocatable: PREFIX/bin holds the programs,
# PREFIX/lib/vantry the IDE's installation root (the host interface library
# in "lib", the add-in folder "experts" with vantry.so, and the "Source" link to the
# Free Pascal sources); programs and add-ins find the library through run
# paths relative to themselves ($ORIGIN), and the IDE finds its add-in folder
# from its own executable.

set(VANTRY_INSTALL_ROOT lib/vantry)
set(VANTRY_ADDIN_FOLDER ${VANTRY_INSTALL_ROOT}/experts)
# The host interface library's private folder: below the installation root,
# so that it is nobody else's library and the system's loader cache (and so
# the package's maintainer scripts) never deal with it.
set(VANTRY_LIBRARY_FOLDER ${VANTRY_INSTALL_ROOT}/lib)

# A manual page, compressed as Debian wants it, installed into section 1.
function(vantry_install_man_page page)
  get_filename_component(name ${page} NAME)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND sh -c "gzip -9nc '${CMAKE_CURRENT_SOURCE_DIR}/${page}' > '${compressed}'"
    DEPENDS ${page} VERBATIM)
  add_custom_target(man-${name} ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION share/man/man1)
endfunction()

# A program a user runs, with its manual page; it answers --version with
# VANTRY_VERSION.
function(vantry_install_program target page)
  target_compile_definitions(${target} PRIVATE VANTRY_VERSION="${PROJECT_VERSION}")
  install(TARGETS ${target} RUNTIME DESTINATION bin)
  vantry_install_man_page(${page})
endfunction()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantry)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vantry developers <vantry@orvalle.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Pascal IDE with a menu of library sources")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vantry is an add-in for a Pascal IDE, shipped with the IDE it runs in.
Its File menu mirrors a tree of Pascal library sources (Debian's Free
Pascal sources when they are installed), one submenu per folder and one
item per unit, and opens the chosen unit in the editor; the library finder
reaches any unit or declaration by a few letters of its name. An options
dialog picks the source folder, and an About box leads to a form that
mails the vendor.

The package holds the IDE (vantry-host) with the add-in in its add-in
folder, vantry-reg to read and change its registry, vantry-sendmail to
check a mail server, vantry-find to find the library's declarations
from a shell or another editor, and vantry-lsp, a language server that
brings the same navigation to any editor with a language client.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fpc-source)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The host interface library is the package's own, in its private folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/src/expert/host)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
