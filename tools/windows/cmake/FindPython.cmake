# find_package(Python) for the Windows x64 cross build. The Windows interpreter cannot run
# on the build machine, so nothing is asked of it; tools/windows/build.py passes what it
# would have answered:
#   VREL_WINDOWS_PYTHON_INCLUDE  the interpreter's include tree with the Windows pyconfig.h
#   VREL_WINDOWS_PYTHON_LIBRARY  the import library of python3XY.dll
# It provides what the project's CMakeLists uses: the version check and Python_add_library.
foreach(_vrel_var IN ITEMS VREL_WINDOWS_PYTHON_INCLUDE VREL_WINDOWS_PYTHON_LIBRARY)
    if(NOT EXISTS "${${_vrel_var}}")
        message(FATAL_ERROR "Windows cross build: ${_vrel_var} must name an existing path "
                            "(tools/windows/build.py sets it), got '${${_vrel_var}}'")
    endif()
endforeach()

file(STRINGS "${VREL_WINDOWS_PYTHON_INCLUDE}/patchlevel.h" _vrel_lines
     REGEX "^#define[ \t]+PY_(MAJOR|MINOR|MICRO)_VERSION[ \t]+[0-9]+")
foreach(_vrel_part IN ITEMS MAJOR MINOR MICRO)
    string(REGEX MATCH "PY_${_vrel_part}_VERSION[ \t]+([0-9]+)" _vrel_match "${_vrel_lines}")
    set(Python_VERSION_${_vrel_part} "${CMAKE_MATCH_1}")
endforeach()
set(Python_VERSION "${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}.${Python_VERSION_MICRO}")
if(Python_FIND_VERSION AND Python_VERSION VERSION_LESS Python_FIND_VERSION)
    message(FATAL_ERROR "Windows cross build: the headers are Python ${Python_VERSION}, "
                        "${Python_FIND_VERSION} or newer is required")
endif()

set(Python_FOUND TRUE)
set(Python_Interpreter_FOUND TRUE)
set(Python_Development.Module_FOUND TRUE)
set(Python_INCLUDE_DIRS "${VREL_WINDOWS_PYTHON_INCLUDE}")
set(Python_LIBRARIES "${VREL_WINDOWS_PYTHON_LIBRARY}")
# The tag in the file name that the Windows interpreter looks for: .cp312-win_amd64.pyd
set(Python_SOABI "cp${Python_VERSION_MAJOR}${Python_VERSION_MINOR}-win_amd64")
message(STATUS "Windows cross build for Python ${Python_VERSION} (headers ${VREL_WINDOWS_PYTHON_INCLUDE})")

function(Python_add_library name)
    cmake_parse_arguments(PARSE_ARGV 1 _arg "MODULE;WITH_SOABI" "" "")
    if(NOT _arg_MODULE)
        message(FATAL_ERROR "Windows cross build: only MODULE libraries are supported")
    endif()
    add_library(${name} MODULE ${_arg_UNPARSED_ARGUMENTS})
    set(_suffix ".pyd")
    if(_arg_WITH_SOABI)
        set(_suffix ".${Python_SOABI}.pyd")
    endif()
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX "${_suffix}")
    target_include_directories(${name} SYSTEM PRIVATE "${Python_INCLUDE_DIRS}")
    target_link_libraries(${name} PRIVATE "${Python_LIBRARIES}")
endfunction()
