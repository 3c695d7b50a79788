#include "ortholink/urdf_package.hpp"

#include <cctype>
#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <variant>

#include "ortholink/meshes.hpp"
#include "ortholink/urdf.hpp"

namespace ortholink {
namespace {

// The URDF link each mesh index is drawn on.
constexpr const char* kMeshLinks[kLinkCount] = {"base_link", "link_1", "link_2", "link_3",
                                                "link_4", "link_5", "flange"};

}  // namespace

std::string default_urdf_name(const Arm& arm) {
    if (!arm.model) {
        return "crx";
    }
    std::string name(model_name(*arm.model));
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

bool valid_urdf_name(std::string_view name) noexcept {
    if (name.empty() || name.size() > 64 || name.front() == '.' || name.front() == '-') {
        return false;
    }
    for (const char c : name) {
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

void write_urdf_files(const std::filesystem::path& directory, std::span<const UrdfFile> files) {
    for (const UrdfFile& file : files) {
        const std::filesystem::path path = directory / file.path;
        std::error_code made;
        std::filesystem::create_directories(path.parent_path(), made);
        if (made) {
            throw std::filesystem::filesystem_error("could not create", path.parent_path(), made);
        }
        errno = 0;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.bytes.data()), static_cast<std::streamsize>(file.bytes.size()));
        out.close();
        if (!out) {
            // The streams say nothing of why; errno usually does.
            const int error = errno != 0 ? errno : EIO;
            throw std::filesystem::filesystem_error("could not write", path, std::error_code(error, std::generic_category()));
        }
    }
}

std::vector<UrdfFile> urdf_package(const Arm& arm, std::string_view name) {
    std::vector<UrdfFile> files(1);
    UrdfMeshFiles mesh_files;
    if (arm.model && has_link_meshes(*arm.model)) {
        MeshLoadResult loaded = LinkMeshes::load(*arm.model);
        if (const auto* error = std::get_if<MeshLoadError>(&loaded)) {
            throw std::runtime_error(error->message);
        }
        const LinkMeshes& meshes = std::get<LinkMeshes>(loaded);
        for (std::size_t i = 0; i < kLinkCount; ++i) {
            const std::string stem = std::string(name) + "_" + kMeshLinks[i];
            mesh_files.paths[i] = "meshes/" + stem + ".stl";
            files.push_back(UrdfFile{mesh_files.paths[i], binary_stl(meshes.links[i], "ortholink " + stem)});
        }
    }
    const std::string text = urdf_text(arm, name, mesh_files);
    files[0] = UrdfFile{std::string(name) + ".urdf", std::vector<std::uint8_t>(text.begin(), text.end())};
    return files;
}

}  // namespace ortholink
