# Runs at install time, once the prefix is known (`cmake --install --prefix`, or /usr for the
# package): installs the launcher with the installed program's absolute path in Exec and TryExec,
# so it starts from any prefix whether or not <prefix>/bin is on the session's PATH (Debian adds
# ~/.local/bin only at the next login, and only if it existed then).
#
# In: QUILLO_LAUNCHER_SOURCE, the launcher naming its program as plain "quillo-companion";
#     QUILLO_LAUNCHER_STAGING, a folder of the build tree to write the rewritten file in.
#
# The quoting follows the desktop entry rules as the autostart entry's does (src/app/Autostart.cpp,
# which gives the reasons): a path that a desktop entry cannot carry (not UTF-8, control
# characters, "=" or "%") leaves the plain command, found on PATH.

cmake_path(SET program NORMALIZE "${CMAKE_INSTALL_PREFIX}/bin/quillo-companion")

# CMake strings have no escapes for bytes: the ones the checks need are made here.
foreach(code 1 31 127 128 191 194 223 224 239 240 244)
  string(ASCII ${code} byte${code})
endforeach()
set(tail "[${byte128}-${byte191}]")
set(utf8 "^([${byte1}-${byte127}]|[${byte194}-${byte223}]${tail}|[${byte224}-${byte239}]${tail}${tail}|[${byte240}-${byte244}]${tail}${tail}${tail})*$")

set(exec "quillo-companion")
set(tryexec "quillo-companion")
if(IS_ABSOLUTE "${program}" AND NOT program MATCHES "[=%${byte1}-${byte31}${byte127}]"
   AND program MATCHES "${utf8}")
  # Backslashes are the one string-level escape a path can need; Exec is unquoted after that.
  string(REPLACE "\\" "\\\\" tryexec "${program}")
  set(exec "${program}")
  if(program MATCHES "[ \t\"'\\\\><~|&;$*?#()`]")
    string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${program}")
    set(exec "\"${exec}\"")
  endif()
  string(REPLACE "\\" "\\\\" exec "${exec}")
endif()

file(READ "${QUILLO_LAUNCHER_SOURCE}" text)
string(REPLACE "\nExec=quillo-companion" "\nExec=${exec}" text "${text}")
string(REPLACE "\nTryExec=quillo-companion\n" "\nTryExec=${tryexec}\n" text "${text}")
cmake_path(GET QUILLO_LAUNCHER_SOURCE FILENAME name)
file(WRITE "${QUILLO_LAUNCHER_STAGING}/${name}" "${text}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications" TYPE FILE
     FILES "${QUILLO_LAUNCHER_STAGING}/${name}")
