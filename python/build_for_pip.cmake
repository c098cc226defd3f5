# Run by meson.build (cmake -P) when pip builds the package: the project's
# own build, configured for the Python pip runs, of the extension alone.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G Ninja -DCMAKE_BUILD_TYPE=Release
                        -DNORVIK_BENCH=OFF -DPython_EXECUTABLE=${PYTHON}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} --target norvikcam_python
                COMMAND_ERROR_IS_FATAL ANY)
file(GLOB built ${BINARY}/python/norvikcam/_norvikcam*.so)
file(COPY_FILE ${built} ${OUTPUT} ONLY_IF_DIFFERENT)
