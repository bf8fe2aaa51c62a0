# Runs skyvane-channels on real captures and on bad arguments.
#   cmake -DTOOL=... -DCORPUS=... -DEXPECTED=... -P run_tool_test.cmake
# Says "real captures not found" (which marks the test skipped) when they are absent.

function(expect_exit code)
  execute_process(COMMAND ${TOOL} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL code)
    message(FATAL_ERROR "skyvane-channels ${ARGN}: exit ${rc}, wanted ${code}\n${out}${err}")
  endif()
  if(code EQUAL 2 AND err STREQUAL "")
    message(FATAL_ERROR "skyvane-channels ${ARGN}: exit 2 without a message")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

expect_exit(2)
expect_exit(2 --media tv.channel.analog --frequency 1 x.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 47x x.ts)
expect_exit(2 --media tv.channel.dvbt x.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 1 --log-level 9 x.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 1 /nonexistent/capture.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 1 a.ts b.ts)
expect_exit(2 --media tv.channel.dvbt --frequency 1 ${CMAKE_CURRENT_LIST_DIR})

if(NOT EXISTS ${CORPUS}/ts/dvbt_it_rai_muxA_498MHz.ts)
  message("real captures not found in ${CORPUS}: skipped")
  return()
endif()

foreach(case
    "tv.channel.dvbt;498000;dvbt_it_rai_muxA_498MHz"
    "tv.channel.dvbt;474000;dvbt_gr_ert_474MHz_rx_errors"
    "tv.channel.dvbt;593000;dvbt_tw_cts_593MHz"
    "tv.channel.dvbt;730000;dvbt_cz_ct_mux1_730MHz"
    "tv.channel.atsc;13;atsc_us_wnet_psip")
  list(GET case 0 media)
  list(GET case 1 freq)
  list(GET case 2 name)
  expect_exit(0 --media ${media} --frequency ${freq} ${CORPUS}/ts/${name}.ts)
  file(READ ${EXPECTED}/${name}.txt want)
  if(NOT out STREQUAL want)
    message(FATAL_ERROR "${name}: got\n${out}\nwanted\n${want}")
  endif()
endforeach()

# A capture without the tables still exits 0, with nothing listed; the log goes to stderr.
expect_exit(0 --media tv.channel.dvbt --frequency 1 --log-level 4 ${CORPUS}/ts/broken_dvbs_corrupted_psi.ts)
if(NOT out STREQUAL "" OR NOT err MATCHES "Timeout getting table \\(pid=0010, tid=40\\)")
  message(FATAL_ERROR "broken capture: stdout '${out}', stderr '${err}'")
endif()
