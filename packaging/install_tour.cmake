# Run by the install step (`cmake --install`, and CPack as it stages the package): installs the
# tour as ipcwalk-tour. The copy it installs is the tour with the installed folders written into
# its four lines `installed_...=""`, under the prefix of this very install (the package's /usr,
# or `cmake --install --prefix DIR`'s DIR): the programs, lens and the lessons, the tour's library
# and the guide. Set before it, by the install rules: ipcwalk_tour (the tour's source),
# ipcwalk_staged (the folder where the copy is written first) and ipcwalk_dirs (for each of the
# four lines, its name and its folder as GNUInstallDirs gives it, maybe relative to the prefix;
# the first is the programs' folder, where ipcwalk-tour goes too).
set(text "")
file(READ "${ipcwalk_tour}" text)
list(LENGTH ipcwalk_dirs count)
math(EXPR last "${count} - 1")
foreach(at RANGE 0 ${last} 2)
  math(EXPR next "${at} + 1")
  list(GET ipcwalk_dirs ${at} name)
  list(GET ipcwalk_dirs ${next} dir)
  cmake_path(ABSOLUTE_PATH dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE)
  string(REGEX REPLACE "(.)/$" "\\1" dir "${dir}")
  # Written between single quotes, which nothing but a quote ends.
  if(dir MATCHES "['\n]")
    message(FATAL_ERROR "ipcwalk-tour: the folder \"${dir}\" holds a quote or a line break")
  endif()
  string(FIND "${text}" "\n${name}=\"\"\n" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${ipcwalk_tour}: no line ${name}=\"\" to write the installed folder into")
  endif()
  string(REPLACE "\n${name}=\"\"\n" "\n${name}='${dir}'\n" text "${text}")
  set(${name} "${dir}")
endforeach()
file(WRITE "${ipcwalk_staged}/ipcwalk-tour" "${text}")
file(INSTALL "${ipcwalk_staged}/ipcwalk-tour" DESTINATION "${installed_bin}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
