# Installs the build in BUILD_DIR into a scratch prefix, then checks that its
# include tree holds exactly the headers in EXPECTED (paths under include/),
# that none of them includes an operating-system header, and that each one
# compiles alone with CXX.
# Usage: cmake -DBUILD_DIR=... -DCXX=... -DEXPECTED="a;b" -P check_installed_headers.cmake
set(work ${BUILD_DIR}/installed_headers_check)
file(REMOVE_RECURSE ${work})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${work}/prefix
    OUTPUT_QUIET RESULT_VARIABLE installed)
if(NOT installed EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${installed})")
endif()
set(include_dir ${work}/prefix/include)

file(GLOB_RECURSE found LIST_DIRECTORIES true RELATIVE ${include_dir} ${include_dir}/*)
set(files)
foreach(entry IN LISTS found)
    if(IS_DIRECTORY ${include_dir}/${entry})
        file(GLOB children ${include_dir}/${entry}/*)
        if(NOT children)
            message(SEND_ERROR "empty folder installed: include/${entry}")
        endif()
    else()
        list(APPEND files ${entry})
    endif()
endforeach()
list(SORT files)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT files STREQUAL expected)
    set(extra ${files})
    list(REMOVE_ITEM extra ${expected})
    set(missing ${expected})
    list(REMOVE_ITEM missing ${files})
    message(FATAL_ERROR "installed headers differ from the interface\n"
        "  not in the interface: ${extra}\n  missing: ${missing}")
endif()

foreach(header IN LISTS files)
    file(STRINGS ${include_dir}/${header} os_includes
        REGEX "^#[ \t]*include[ \t]*<(sys/|unistd\\.h|fcntl\\.h|windows\\.h)")
    if(os_includes)
        message(SEND_ERROR "${header} includes an operating-system header: ${os_includes}")
    endif()
    set(source ${work}/alone.cpp)
    file(WRITE ${source} "#include <${header}>\n")
    execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -Wall -Wextra -Werror
            -I${include_dir} ${source}
        RESULT_VARIABLE compiled ERROR_VARIABLE errors)
    if(NOT compiled EQUAL 0)
        message(SEND_ERROR "${header} does not compile alone:\n${errors}")
    endif()
endforeach()
list(LENGTH files count)
message(STATUS "${count} installed headers, each compiling alone")
file(REMOVE_RECURSE ${work})
