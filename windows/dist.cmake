# SPDX-License-Identifier: MIT
# The Windows release, run by the dist target (cmake -P):
#   dist/windows-i686/          the binaries (BINARIES), README-Windows.txt, licenses/,
#                               sources/ (where each library's source came from)
#   dist/windows-i686.zip       that folder
#   dist/windows-i686-sources.zip
#                               the complete source of the binaries, to be published
#                               beside them: ours (audioplugin-VERSION.tar.gz, the
#                               files git tracks as built) and every Debian source
#                               package the libraries were built from, whole
#   dist/*.zip.sha256           their checksums
# Variables: BUILD_DIR, SOURCE_DIR, DEPS_PREFIX, README, BINARIES (;-list), VERSION.
set(root ${BUILD_DIR}/dist)
set(folder ${root}/windows-i686)
set(source_folder ${root}/windows-i686-sources)
file(REMOVE_RECURSE ${folder} ${source_folder})
file(GLOB old_zips ${root}/windows-i686*.zip ${root}/windows-i686*.zip.sha256)
if(old_zips)
    file(REMOVE ${old_zips})
endif()
file(MAKE_DIRECTORY ${folder}/licenses ${folder}/sources ${source_folder})

file(COPY ${BINARIES} DESTINATION ${folder})
file(COPY ${README} DESTINATION ${folder})
file(COPY ${SOURCE_DIR}/LICENSE DESTINATION ${folder}/licenses)
file(GLOB licences ${DEPS_PREFIX}/share/licenses/*)
file(COPY ${licences} DESTINATION ${folder}/licenses)
file(GLOB sources ${DEPS_PREFIX}/share/sources/*)
file(COPY ${sources} DESTINATION ${folder}/sources)

# Our source: what git tracks, with the working tree's changes (git stash create makes
# a commit of them without touching the tree; it prints nothing when there are none).
# Outside a git checkout, the source folder without builds.
set(ours ${source_folder}/audioplugin-${VERSION}.tar.gz)
execute_process(COMMAND git -C ${SOURCE_DIR} stash create
    OUTPUT_VARIABLE tree OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE git_status ERROR_QUIET)
if(git_status EQUAL 0)
    if(tree STREQUAL "")
        set(tree HEAD)
    endif()
    execute_process(COMMAND git -C ${SOURCE_DIR} archive --format=tar.gz
        --prefix=audioplugin-${VERSION}/ -o ${ours} ${tree} RESULT_VARIABLE archived)
else()
    file(GLOB entries RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
    list(FILTER entries EXCLUDE REGEX "^(build.*|dist|\\..*)$")
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${ours} -- ${entries}
        WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE archived)
endif()
if(NOT archived EQUAL 0 OR NOT EXISTS ${ours})
    message(FATAL_ERROR "dist: cannot archive the source in ${SOURCE_DIR}")
endif()
file(GLOB packages ${DEPS_PREFIX}/share/source-packages/*)
if(NOT packages)
    message(FATAL_ERROR "dist: ${DEPS_PREFIX} holds no source packages (rebuild it with "
        "windows/deps-build)")
endif()
file(COPY ${packages} ${sources} DESTINATION ${source_folder})

# Entries named windows-i686/... and windows-i686-sources/..., as the folders unpack.
foreach(name windows-i686 windows-i686-sources)
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${name}.zip --format=zip ${name}
        WORKING_DIRECTORY ${root} RESULT_VARIABLE zipped)
    if(NOT zipped EQUAL 0)
        message(FATAL_ERROR "dist: cannot make ${name}.zip")
    endif()
    file(SHA256 ${root}/${name}.zip sum)
    file(WRITE ${root}/${name}.zip.sha256 "${sum}  ${name}.zip\n")
    message(STATUS "dist: ${root}/${name}.zip (sha256 ${sum})")
endforeach()
