# Installs the build into a fresh prefix, then configures, builds and runs
# the out-of-tree host example against it, as a host project would; and
# checks that a host project on the other Qt major is refused at configure time.
# Inputs: BUILD_DIR, EXAMPLE_DIR, WORK_DIR, GENERATOR, CXX_COMPILER, QT_MAJOR.
function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
  message(STATUS "${out}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
step(${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
     -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
step(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
step(${WORK_DIR}/build/out_of_tree_host)

# A host on the other major: asking for it as a component, then having found
# its Core (where that Qt is installed: ./run test-qt6 brings Qt 6 in).
if(QT_MAJOR EQUAL 5)
  set(other 6)
else()
  set(other 5)
endif()
file(WRITE ${WORK_DIR}/other-qt/CMakeLists.txt "
cmake_minimum_required(VERSION 3.16)
project(other_qt_host LANGUAGES CXX)
find_package(plcdriver 1 COMPONENTS Qt${other})
find_package(Qt${other} QUIET COMPONENTS Core)
if(Qt${other}_FOUND)
  find_package(plcdriver 1 REQUIRED)
else()
  message(FATAL_ERROR \"no Qt${other} here\")
endif()
")
execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK_DIR}/other-qt -B ${WORK_DIR}/other-qt/build
  -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REGEX REPLACE "[ \n]+" " " out "${out}") # CMake wraps the reasons it prints
set(refusal "the plug-in is built for Qt ${QT_MAJOR} but this project uses Qt ${other}")
set(expected "${refusal} \\(asks for component Qt${other}\\).*${refusal} \\(Qt${other}::Core is found\\)")
if(out MATCHES "no Qt${other} here")
  set(expected "${refusal} \\(asks for component Qt${other}\\)")
endif()
if(rc EQUAL 0 OR NOT out MATCHES "${expected}")
  message(FATAL_ERROR "a host project on Qt ${other} was not refused:\n${out}")
endif()
