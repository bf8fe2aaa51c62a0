# Installs the build into a fresh prefix and checks the layout, the settings the installation
# writes, that a second installation keeps what a user changed, and that the installed tools
# find their module and the demo broadcast with nothing else configured.
# cmake -DBUILD=<build folder> -DSOURCE=<source folder> -DWORK=<scratch folder> -P install_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(prefix ${WORK}/prefix)
set(settings ${WORK}/settings)
set(ENV{PELMO_REGISTRY} ${settings})
set(ENV{PELMO_APPDATA} ${WORK}/appdata)
unset(ENV{PELMO_BROADCAST})

function(install_once)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
  endif()
endfunction()

install_once()
set(expected bin/pelmo-streamer bin/pelmo-bus bin/skyvane-air lib/skyvane/libskyvane.so
    share/skyvane/demo/broadcast.xml share/skyvane/demo/dvbt-474000.ts)
file(GLOB frequency_files RELATIVE ${SOURCE}/data/frequencies ${SOURCE}/data/frequencies/*frequencies*.txt)
if(NOT frequency_files)
  message(FATAL_ERROR "no frequency files in ${SOURCE}/data/frequencies")
endif()
foreach(f ${frequency_files})
  list(APPEND expected share/skyvane/${f})
endforeach()
list(APPEND expected share/skyvane/bin/Plugins/Skyvane/deviceExceptions.xml)
foreach(f ${expected})
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "the installation lacks ${f}")
  endif()
endforeach()
# Test helpers never go with an installation.
file(GLOB_RECURSE stray ${prefix}/*test*)
if(stray)
  message(FATAL_ERROR "the installation holds test files: ${stray}")
endif()

file(READ ${settings}/HKEY_LOCAL_MACHINE.reg machine)
string(FIND "${machine}" "\"InstallDir\"=\"${prefix}/share/skyvane/\"" at)
if(at EQUAL -1)
  message(FATAL_ERROR "InstallDir is not ${prefix}/share/skyvane/ (with its separator):\n${machine}")
endif()

# A user's change survives a second installation.
string(REPLACE "\"OutputRaw\"=dword:00000001" "\"OutputRaw\"=dword:00000000" changed "${machine}")
if(changed STREQUAL machine)
  message(FATAL_ERROR "no OutputRaw default was written:\n${machine}")
endif()
file(WRITE ${settings}/HKEY_LOCAL_MACHINE.reg "${changed}")
install_once()
file(READ ${settings}/HKEY_LOCAL_MACHINE.reg again)
string(FIND "${again}" "\"OutputRaw\"=dword:00000000" at)
if(at EQUAL -1)
  message(FATAL_ERROR "a second installation undid the user's OutputRaw:\n${again}")
endif()

# The installed tools find their module, and the broadcast through InstallDir alone.
execute_process(COMMAND ${prefix}/bin/pelmo-streamer describe device://tv.channel.dvbt/#/474000/8/8916/4100/4164
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(FIND "${err}" "is not there" missing)
if(NOT missing EQUAL -1)
  message(FATAL_ERROR "the installed pelmo-streamer does not find its module:\n${err}")
endif()
execute_process(COMMAND ${prefix}/bin/skyvane-air --tune dvbt:474000 --seconds 1 --speed 20 -o ${WORK}/air.ts
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the installed skyvane-air does not find the demo broadcast (${rc}):\n${out}\n${err}")
endif()
file(REMOVE_RECURSE ${WORK})
