# Run by cpack after it has installed the project into its staging tree and before it archives
# the tree, so that the archive is the same on every machine: installing makes directories with
# the caller's umask, and files carry the time they were built or staged.
file(GLOB_RECURSE tarvex_staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(entry IN LISTS tarvex_staged)
    if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
        file(CHMOD "${entry}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
             GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
endforeach()
# Every entry gets the time SOURCE_DATE_EPOCH (see CPackProjectConfig.cmake), also when it
# lies in the future and clamping alone would leave the real times.
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "" AND tarvex_staged)
    execute_process(COMMAND touch --no-dereference --date=@$ENV{SOURCE_DATE_EPOCH}
                            ${tarvex_staged}
                    RESULT_VARIABLE tarvex_touch_result)
    if(NOT tarvex_touch_result EQUAL 0)
        message(FATAL_ERROR "could not set the time stamps of the staged files")
    endif()
endif()
