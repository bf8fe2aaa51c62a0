# Runs skyvane-channels on bad arguments, bad input and, when they are there, real captures.
#   cmake -DTOOL=... -DCORPUS=... -DEXPECTED=... -P run_tool_test.cmake
# Says "real captures not found" (which marks the test skipped) when they are absent.

# expect_exit(code [INPUT file] args...): runs the tool (with file piped to its standard input)
# and checks its exit code; a failure must come with a message.
function(expect_exit code)
  if(ARGV1 STREQUAL "INPUT")
    list(SUBLIST ARGN 2 -1 args)
    execute_process(COMMAND cat ${ARGV2} COMMAND ${TOOL} ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                    ERROR_VARIABLE err TIMEOUT 120)
  else()
    set(args ${ARGN})
    execute_process(COMMAND ${TOOL} ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                    TIMEOUT 120)
  endif()
  if(NOT rc EQUAL code)
    message(FATAL_ERROR "skyvane-channels ${ARGN}: exit ${rc}, wanted ${code}\n${out}${err}")
  endif()
  if(NOT code EQUAL 0 AND err STREQUAL "")
    message(FATAL_ERROR "skyvane-channels ${ARGN}: exit ${code} without a message")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

function(expect_error pattern)
  if(NOT err MATCHES "${pattern}")
    message(FATAL_ERROR "wanted a message matching '${pattern}', got '${err}'")
  endif()
endfunction()

expect_exit(2)
expect_exit(2 --media tv.channel.analog --frequency 1 x.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 47x x.ts)
expect_exit(2 --media tv.channel.dvbt x.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 1 --log-level 9 x.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 1 /nonexistent/capture.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 1 a.ts b.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 1 ${CMAKE_CURRENT_LIST_DIR})
expect_error("is a directory")

# A device that may never end is refused rather than read forever.
expect_exit(2 --media tv.channel.dvbt --frequency 1 /dev/zero)
expect_error("/dev/zero: is neither a regular file nor a pipe")

# Text is not a transport stream, whatever 0x47 bytes it holds, from a file or a pipe.
expect_exit(1 --media tv.channel.dvbt --frequency 1 ${CMAKE_CURRENT_LIST_FILE})
expect_error("is not a transport stream \\(no run of 188-, 192- or 204-byte packets\\)")
expect_exit(1 INPUT ${CMAKE_CURRENT_LIST_FILE} --media tv.channel.dvbt --frequency 1 -)
expect_error("standard input is not a transport stream")

# A named pipe that the tool opens before anyone writes to it: it waits for the writer and
# reads what comes (here text, so the verdict shows that it was read).
set(fifo ${CMAKE_CURRENT_BINARY_DIR}/skyvane-channels-test.fifo)
execute_process(
  COMMAND sh -c [[rm -f "$1" && mkfifo "$1" || exit 99
"$2" --media tv.channel.dvbt --frequency 1 "$1" & tool=$!
sleep 1
cat "$3" > "$1"
wait $tool; rc=$?; rm -f "$1"; exit $rc]] sh ${fifo} ${TOOL} ${CMAKE_CURRENT_LIST_FILE}
  RESULT_VARIABLE rc ERROR_VARIABLE err TIMEOUT 120)
if(NOT rc EQUAL 1)
  message(FATAL_ERROR "named pipe: exit ${rc}, wanted 1\n${err}")
endif()
expect_error("skyvane-channels-test.fifo is not a transport stream")

if(NOT EXISTS ${CORPUS}/ts/dvbt_it_rai_muxA_498MHz.ts)
  message("real captures not found in ${CORPUS}: skipped")
  return()
endif()

# The lists of the other captures are checked from their cut sections (scan/).
foreach(case
    "tv.channel.dvbt;498000;dvbt_it_rai_muxA_498MHz"
    "tv.channel.dvbt;474000;dvbt_gr_ert_474MHz_rx_errors"
    "tv.channel.dvbt;730000;dvbt_cz_ct_mux1_730MHz"
    "tv.channel.atsc;13;atsc_us_wnet_psip")
  list(GET case 0 media)
  list(GET case 1 freq)
  list(GET case 2 name)
  if(media STREQUAL "tv.channel.atsc")
    # From a pipe: every table request reads the one copy taken of it.
    expect_exit(0 INPUT ${CORPUS}/ts/${name}.ts --media ${media} --frequency ${freq} -)
  else()
    expect_exit(0 --media ${media} --frequency ${freq} ${CORPUS}/ts/${name}.ts)
  endif()
  file(READ ${EXPECTED}/${name}.txt want)
  if(NOT out STREQUAL want)
    message(FATAL_ERROR "${name}: got\n${out}\nwanted\n${want}")
  endif()
endforeach()

# A capture without the tables still exits 0, says that it found nothing; the log goes to stderr.
expect_exit(0 --media tv.channel.dvbt --frequency 1 --log-level 4 ${CORPUS}/ts/broken_dvbs_corrupted_psi.ts)
if(NOT out STREQUAL "")
  message(FATAL_ERROR "broken capture: stdout '${out}'")
endif()
expect_error("Timeout getting table \\(pid=0010, tid=40\\).*no named service found in")
