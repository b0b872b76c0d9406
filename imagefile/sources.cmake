# The image-file library's sources, named once.  imagefile/CMakeLists.txt
# builds them; install_test reads them and scripts/fuzz.sh compiles them,
# asking for a list with
#   cmake -DLIST=WRITER|READER -P imagefile/sources.cmake
# which prints its files, one "imagefile/<file>" a line.
set(BLUR_TIFF_WRITER_SOURCES sif.cpp sif_layout.cpp sif_storage.cpp sif_stream.cpp)
set(BLUR_TIFF_READER_SOURCES rif.cpp rif_decode.cpp rif_input.cpp rif_lzw.cpp)

if(CMAKE_SCRIPT_MODE_FILE)
  foreach(file IN LISTS BLUR_TIFF_${LIST}_SOURCES)
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "imagefile/${file}")
  endforeach()
endif()
