# Run by CPack on the staged package tree, just before it is packed, to leave the files as Debian
# ships them:
# - programs and lessons stripped of their symbols, and of the compiler's .comment and .note
#   sections;
# - manual pages and the changelog compressed with `gzip -9n`: best compression, and no file
#   name or time stamp inside, so the same page always compresses to the same bytes;
# - folders 0755 whatever the umask of the build, which the install applied when it made them.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")

file(GLOB programs "${root}/bin/*" "${root}/${CPACK_IPCWALK_LESSONS_DIR}/*")
execute_process(
  COMMAND "${CPACK_IPCWALK_STRIP}" --remove-section=.comment --remove-section=.note ${programs}
  COMMAND_ERROR_IS_FATAL ANY)

file(GLOB documents "${root}/share/man/man*/*" "${root}/share/doc/*/changelog")
foreach(document IN LISTS documents)
  if(NOT document MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${document}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

file(CHMOD_RECURSE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
