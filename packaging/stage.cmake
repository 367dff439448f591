# Run by CPack on the staged package tree, just before it is packed, to leave the files as Debian
# ships them:
# - programs, lessons and lens (every ELF file) stripped of their symbols, and of the compiler's
#   .comment and .note sections;
# - manual pages, the changelog and the guide compressed with `gzip -9n`: best compression, and
#   no file name or time stamp inside, so the same page always compresses to the same bytes (the
#   copyright file stays as it is, as Debian's policy asks);
# - folders 0755 whatever the umask of the build, which the install applied when it made them.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")

file(GLOB_RECURSE files "${root}/*")
set(programs "")
foreach(file IN LISTS files)
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    list(APPEND programs "${file}")
  endif()
endforeach()
execute_process(
  COMMAND "${CPACK_IPCWALK_STRIP}" --remove-section=.comment --remove-section=.note ${programs}
  COMMAND_ERROR_IS_FATAL ANY)

file(GLOB documents "${root}/share/man/man*/*" "${root}/share/doc/*/changelog"
     "${root}/share/doc/*/guide.md")
foreach(document IN LISTS documents)
  if(NOT document MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${document}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

file(CHMOD_RECURSE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
