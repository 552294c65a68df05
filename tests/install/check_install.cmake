# Installs a build into a fresh prefix, checks what is there, runs the
# installed program once, and builds and runs a small consumer program
# against the installed library three times: through find_package(mirvo),
# through pkg-config and with a plain -I<prefix>/include.
#
# -D variables: BUILD_DIR, WORK_DIR, SOURCE_DIR, GENERATOR, CXX, LIBDIR,
# VERSION (the project's), PKG_CONFIG (may be empty), FLAGS (compiler flags the consumer needs, such as
# a sanitizer's; may be empty), PYTHON (the interpreter of the Python module; empty when it is not built).

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(expect_size program)
  run(${program} ${SOURCE_DIR}/examples/image.cb)
  if(NOT out STREQUAL "64\n")
    message(FATAL_ERROR "${program} printed '${out}', expected '64\\n'")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/data)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(path bin/mirvo ${LIBDIR}/libmirvo.a include/mirvo/cb.h include/mirvo/file.h
             include/mirvo/interfc.h include/mirvo/coding.h include/mirvo/engine.h include/mirvo/version.h include/mirvo/mirvo.h include/mirvo/global.h
             share/doc/mirvo/README.md share/doc/mirvo/docs/performance.md ${LIBDIR}/cmake/mirvo/mirvoConfig.cmake
             ${LIBDIR}/cmake/mirvo/mirvoConfigVersion.cmake ${LIBDIR}/cmake/mirvo/mirvoTargets.cmake
             ${LIBDIR}/pkgconfig/mirvo.pc share/man/man1/mirvo.1)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
# The private headers stay in the source tree.
foreach(path include/mirvo/search.h include/mirvo/reader.h include/mirvo/output.h include/mirvo/set_file.h
             include/mirvo/kernels.h include/mirvo/workers.h include/mirvo/centroid_sums.h
             include/console include/files include/records include/formats include/engine)
  if(EXISTS ${prefix}/${path})
    message(FATAL_ERROR "installed, but private: ${path}")
  endif()
endforeach()

# The installed program converts the bundled example like the built one.
file(COPY ${SOURCE_DIR}/examples/image.ts ${SOURCE_DIR}/examples/image.cb DESTINATION ${WORK_DIR}/data)
execute_process(COMMAND ${prefix}/bin/mirvo -Q0 image image WORKING_DIRECTORY ${WORK_DIR}/data
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(STRINGS ${WORK_DIR}/data/image.pa lines LIMIT_COUNT 3)
if(NOT status EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL ""
   OR NOT lines STREQUAL "VQ PARTITIONING 2.0;64;779")
  message(FATAL_ERROR "installed mirvo: status ${status}, output '${out}${err}', image.pa begins '${lines}'")
endif()

# The Python package under the prefix given when installing (not the one
# of the configuration), in the interpreter's own folder for that prefix.
if(PYTHON)
  file(GLOB package ${prefix}/lib/python3*/site-packages/mirvo/__init__.py)
  if(NOT package)
    file(GLOB_RECURSE found RELATIVE ${prefix} ${prefix}/*/__init__.py)
    message(FATAL_ERROR "the Python package is not in ${prefix}/lib/python3.X/site-packages: ${found}")
  endif()
  get_filename_component(site ${package} DIRECTORY)
  get_filename_component(site ${site} DIRECTORY)
  set(ENV{PYTHONPATH} ${site})
  run(${PYTHON} -c "import mirvo, sys\nprint(len(mirvo.read_vector_set(sys.argv[1])))" ${SOURCE_DIR}/examples/image.cb)
  if(NOT out STREQUAL "64\n")
    message(FATAL_ERROR "the installed Python package printed '${out}', expected '64\\n'")
  endif()
endif()

# find_package(mirvo) with nothing but the prefix to go on.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${FLAGS}" -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DMIRVO_VERSION=${VERSION})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
expect_size(${WORK_DIR}/consumer/consumer)

# pkg-config: the flags it gives are all a plain compiler call needs.
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config not found (scripts/setup.sh installs it)")
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs mirvo)
separate_arguments(flags UNIX_COMMAND "${FLAGS} ${out}")
run(${CXX} -std=c++20 ${SOURCE_DIR}/tests/install/consumer/main.cpp ${flags} -o ${WORK_DIR}/consumer-pc)
expect_size(${WORK_DIR}/consumer-pc)

# A plain compiler call with nothing but <prefix>/include on the path.
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
run(${CXX} -std=c++20 ${SOURCE_DIR}/tests/install/consumer/main.cpp ${flags} -I${prefix}/include
    ${prefix}/${LIBDIR}/libmirvo.a -pthread -o ${WORK_DIR}/consumer-plain)
expect_size(${WORK_DIR}/consumer-plain)
