# Writes a C++ source that holds every link mesh stream as a read-only byte array.
#
#   cmake -DASSETS=<assets dir> -DMODELS=Crx5iA,Crx10iA -DOUTPUT=<file.cpp> -P embed.cmake
#
# MODELS are CrxModel member names; the folder of each is its lower-case name and holds
# link0.vntl ... link6.vntl. The source defines, in namespace ortholink::embedded,
# `<folder>_streams` (seven spans over the bytes in index order) and `models`, the table
# of every model with its streams.

string(REPLACE "," ";" models "${MODELS}")

# Sixteen bytes to a line (CMake regular expressions have no repetition counts).
set(line_pattern "")
foreach(unused RANGE 15)
  string(APPEND line_pattern "0x[0-9a-f][0-9a-f],")
endforeach()

set(body "")
set(table "")
list(LENGTH models model_count)
foreach(member IN LISTS models)
  string(TOLOWER "${member}" model)
  string(APPEND table "    ModelStreams{CrxModel::${member}, &${model}_streams},\n")
  set(spans "")
  foreach(index RANGE 6)
    set(path "${ASSETS}/${model}/link${index}.vntl")
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "missing link mesh stream ${path}")
    endif()
    file(SIZE "${path}" size)
    if(size EQUAL 0)
      message(FATAL_ERROR "empty link mesh stream ${path}")
    endif()
    file(READ "${path}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(${line_pattern})" "\\1\n    " bytes "${bytes}")
    set(name "${model}_link${index}")
    string(APPEND body "constexpr std::uint8_t ${name}[${size}] = {\n    ${bytes}\n};\n\n")
    string(APPEND spans "    std::span<const std::uint8_t>(${name}),\n")
  endforeach()
  string(APPEND body "const std::array<std::span<const std::uint8_t>, 7> ${model}_streams = {\n${spans}};\n\n")
endforeach()
string(APPEND body "namespace {\n\nconst std::array<ModelStreams, ${model_count}> table = {\n${table}};\n\n}  // namespace\n\n")
string(APPEND body "const std::span<const ModelStreams> models = table;\n\n")

set(text "// Generated from ortholink/assets by embed.cmake; do not edit.\n\n")
string(APPEND text "#include \"embedded_meshes.hpp\"\n\n")
string(APPEND text "namespace ortholink::embedded {\n\n${body}}  // namespace ortholink::embedded\n")

file(WRITE "${OUTPUT}" "${text}")
