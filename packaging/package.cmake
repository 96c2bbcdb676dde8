# The Debian package: `cpack -G DEB` in a Release build folder (scripts/package
# does all of it). Everything `cmake --install` puts under /usr goes in, plus
# the documents below; dpkg-shlibdeps works out the dependencies.
set(KIT_PACKAGE_NAME modding-kit)
set(KIT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${KIT_PACKAGE_NAME})

# Debian wants the changelog compressed, and reproducibly so (-n: no name or
# time stamp in the gzip header).
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${changelog_gz}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
add_custom_target(package_documents ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${KIT_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${KIT_DOC_DIR})
foreach(subsystem IN LISTS KIT_SUBSYSTEMS)
  install(FILES ${CMAKE_SOURCE_DIR}/${subsystem}/README.md DESTINATION ${KIT_DOC_DIR}
          RENAME README.${subsystem}.md)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KIT_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The modding kit's authors <authors@modding-kit.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tools for modding kart-racing and BMD-model game data")
set(CPACK_PACKAGE_DESCRIPTION
  "Ten small programs for people who mod the data of kart-racing games and of
console titles whose models come as BMD files. cairn and uncairn pack a
folder into a level-3 RomFS image under an IVFC SHA-256 hash tree, and list,
verify and extract such images, bare or inside a 3DS game dump; tamp and
untamp compress and decompress Yaz0 files; sheaf lists, checks, extracts and
creates SARC, RARC, U8 and NARC archives, plain or wrapped in Yaz0 or LZ77,
and DS ROMs; texsift lists the textures of a BMD model and writes each as a
DDS file; glaze lists the textures of a BMD, BDL or BRRES model, a BTI or
TEX0 file or a DS model or texture file (NSBMD, NSBTX), writes them as PNG
images and puts an edited image back in the console's format; flagwright-mk7
and flagwright-mkds are GTK 2 windows that compose a 16-bit KCL collision
identifier, and kiln builds the KCL collision file of a course from an OBJ
model whose materials name those identifiers, and reads such files back.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Folders 0755, files 0644 whatever the checkout's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
