# Makes a manual page from a program's help with help2man, at build time (packaging/CMakeLists.txt).
# A help with subcommands (CLI11's --help-all) is reshaped first: each subcommand a subsection of
# its options. The build tree's default paths the help shows become placeholders for the
# installed ones.
get_filename_component(name ${PROGRAM} NAME)
get_filename_component(folder ${OUTPUT} DIRECTORY)
set(helpText ${folder}/${name}.help)
set(wrapper ${folder}/${name})
execute_process(
  COMMAND ${PROGRAM} ${HELP_OPTION}
  COMMAND sed -E -e "/^Subcommands:$/d" -e "s/^([a-z][-a-z0-9]*)$/${name} \\1:/"
          -e "/^  (Positionals|Options):$/d" -e "s/^    / /"
  OUTPUT_FILE ${helpText}
  RESULT_VARIABLE status)
if(NOT status STREQUAL "0;0" AND NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} ${HELP_OPTION} failed (${status})")
endif()
# help2man runs a program: one named as the real one, answering from the reshaped text.
file(WRITE ${wrapper}
  "#!/bin/sh\ncase \"$1\" in --version) exec '${PROGRAM}' --version;; esac\nexec cat '${helpText}'\n")
file(CHMOD ${wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
execute_process(
  COMMAND ${HELP2MAN} --no-info --include=${INCLUDE} ${wrapper}
  OUTPUT_VARIABLE page
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR page STREQUAL "")
  message(FATAL_ERROR "help2man failed on ${PROGRAM} (${status})")
endif()
# roff writes a hyphen as \-.
foreach(pair "${BUILD_DIR}/src/${FILTER_FILE}|@QUILLON_LIBDIR@/${FILTER_FILE}"
             "${BUILD_DIR}/sample-disc|@QUILLON_DATADIR@/sample-disc")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  string(REPLACE "-" "\\-" escaped "${from}")
  string(REPLACE "${from}" "${to}" page "${page}")
  string(REPLACE "${escaped}" "${to}" page "${page}")
endforeach()
string(REPLACE "-" "\\-" escapedBuild "${BUILD_DIR}")
string(FIND "${page}" "${BUILD_DIR}" at)
string(FIND "${page}" "${escapedBuild}" escapedAt)
if(NOT at EQUAL -1 OR NOT escapedAt EQUAL -1)
  message(FATAL_ERROR "${OUTPUT} names the build folder ${BUILD_DIR}")
endif()
file(WRITE ${OUTPUT} "${page}")
