#pragma once
// Everything Arm.write_urdf writes: the URDF text and, for models with
// embedded meshes, one binary STL per link. Part of ortholink::meshes.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ortholink/arm.hpp"

namespace ortholink {

struct UrdfFile {
    std::string path;  // relative to the output directory, '/'-separated
    std::vector<std::uint8_t> bytes;
};

// `<name>.urdf` first, then `meshes/<name>_<link>.stl` for each link with
// geometry (none when the arm has no model or its model has no meshes).
// Throws std::runtime_error when embedded meshes fail to decode.
std::vector<UrdfFile> urdf_package(const Arm& arm, std::string_view name);

// Writes every file under `directory`, creating the folders their paths
// need; files of the same names are replaced. All files or none: they are
// written in a staging folder inside `directory` and then renamed into place,
// so a symbolic link at a file's name is replaced, never written through, and
// a folder of theirs that is a link is refused. Throws
// std::filesystem::filesystem_error naming the folder that could not be
// created or the file that could not be written, with the error of the failure.
void write_urdf_files(const std::filesystem::path& directory, std::span<const UrdfFile> files);

// The name used when none is given: the model in lower case ("crx10ial"), or
// "crx" for an arm built from link dimensions.
std::string default_urdf_name(const Arm& arm);

// True for names safe as a file name and a URDF robot name: 1 to 64 letters,
// digits, '_', '-' or '.', not starting with '.' or '-'.
bool valid_urdf_name(std::string_view name) noexcept;

}  // namespace ortholink
