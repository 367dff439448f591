# Run by CPack on the staged package tree, just before it is packed, to leave the files as Debian
# ships them:
# - programs stripped of their symbols, and of the compiler's .comment and .note sections;
# - manual pages and the changelog compressed with `gzip -9n`: best compression, and no file
#   name or time stamp inside, so the same sources give the same package.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")

file(GLOB programs "${root}/bin/*")
execute_process(
  COMMAND "${CPACK_IPCWALK_STRIP}" --remove-section=.comment --remove-section=.note ${programs}
  COMMAND_ERROR_IS_FATAL ANY)

file(GLOB documents "${root}/share/man/man*/*" "${root}/share/doc/*/changelog")
foreach(document IN LISTS documents)
  if(NOT document MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${document}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
