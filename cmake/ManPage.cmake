# vendrill_man_page(SOURCE): the manual page with the project version filled
# in (@PROJECT_VERSION@), compressed at build time as Debian packages carry it
# and installed into section 1.
include(GNUInstallDirs)
function(vendrill_man_page source)
  get_filename_component(name ${source} NAME)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${name})
  configure_file(${source} ${page} @ONLY)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND gzip -9 -n -c ${page} > ${page}.gz
    DEPENDS ${page}
    COMMENT "Compressing the ${name} manual page")
  add_custom_target(man_${name} ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
