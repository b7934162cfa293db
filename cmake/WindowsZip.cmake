# The Windows zip (cmake --build --preset windows --target zip): the release program, the
# companion stripped as the program is, a short README, the notices and SHA256SUMS. The same sources give the
# same bytes: no link time in the programs, none given by strip, fixed dates in the zip.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(zip_width win64)
else()
  set(zip_width win32)
endif()
set(zip_dir ${CMAKE_BINARY_DIR}/zip)
set(VELLUMO_ZIP ${CMAKE_BINARY_DIR}/VellumoPrinterInfo-${VELLUMO_VERSION}-${zip_width}.zip
    CACHE INTERNAL "The Windows zip")
get_filename_component(zip_program_name ${VELLUMO_RELEASE_EXE} NAME)

configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/README.txt.in ${zip_dir}/README.txt @ONLY)
# The notices of the code of others that the two programs hold (MinGW-w64, winpthreads, GCC's
# runtime, nlohmann-json), as their licences ask; scripts/check-package.sh checks that each piece
# the build links or compiles in is named there.
configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/NOTICES.txt.in ${zip_dir}/NOTICES.txt @ONLY)
add_custom_command(
  OUTPUT ${zip_dir}/vellumo-cli.exe
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
          ${CMAKE_STRIP} -o ${zip_dir}/vellumo-cli.exe $<TARGET_FILE:vellumo-cli>
  DEPENDS vellumo-cli
  COMMENT "Stripping the companion for the zip"
  VERBATIM)
add_custom_command(
  OUTPUT ${VELLUMO_ZIP}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/make_zip.py ${VELLUMO_ZIP}
          ${zip_program_name}=${VELLUMO_RELEASE_EXE}
          vellumo-cli.exe=${zip_dir}/vellumo-cli.exe
          --text README.txt=${zip_dir}/README.txt --text NOTICES.txt=${zip_dir}/NOTICES.txt
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make_zip.py ${VELLUMO_RELEASE_EXE} release
          ${zip_dir}/vellumo-cli.exe ${zip_dir}/README.txt ${zip_dir}/NOTICES.txt
  COMMENT "Zipping the program, the companion, the README, the notices and their SHA256SUMS"
  VERBATIM)
add_custom_target(zip DEPENDS ${VELLUMO_ZIP})
