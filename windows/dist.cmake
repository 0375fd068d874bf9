# SPDX-License-Identifier: MIT
# The Windows release folder and its zip, run by the dist target (cmake -P):
#   dist/windows-i686/        Plugin.dll, bass.dll, tags.dll, plughost.exe,
#                             README-Windows.txt, licenses/, sources/
#   dist/windows-i686.zip     that folder
#   dist/windows-i686.zip.sha256
# Variables: BUILD_DIR, SOURCE_DIR, DEPS_PREFIX, README, BINARIES (;-list).
set(root ${BUILD_DIR}/dist)
set(folder ${root}/windows-i686)
file(REMOVE_RECURSE ${folder} ${root}/windows-i686.zip ${root}/windows-i686.zip.sha256)
file(MAKE_DIRECTORY ${folder}/licenses ${folder}/sources)

file(COPY ${BINARIES} DESTINATION ${folder})
file(COPY ${README} DESTINATION ${folder})
file(COPY ${SOURCE_DIR}/LICENSE DESTINATION ${folder}/licenses)
file(GLOB licences ${DEPS_PREFIX}/share/licenses/*)
file(COPY ${licences} DESTINATION ${folder}/licenses)
file(GLOB sources ${DEPS_PREFIX}/share/sources/*)
file(COPY ${sources} DESTINATION ${folder}/sources)

# Entries named windows-i686/..., as the folder unpacks.
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf windows-i686.zip --format=zip windows-i686
    WORKING_DIRECTORY ${root} RESULT_VARIABLE zipped)
if(NOT zipped EQUAL 0)
    message(FATAL_ERROR "dist: cannot make windows-i686.zip")
endif()
file(SHA256 ${root}/windows-i686.zip sum)
file(WRITE ${root}/windows-i686.zip.sha256 "${sum}  windows-i686.zip\n")
message(STATUS "dist: ${root}/windows-i686.zip (sha256 ${sum})")
