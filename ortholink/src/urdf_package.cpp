#include "ortholink/urdf_package.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>
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

namespace {

[[noreturn]] void fail_at(const char* what, const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// The folder the files are written in before they are moved into place: in
// the output directory, so that the moves are renames on one file system.
// Removed, with whatever is left in it, when done.
class Staging {
public:
    explicit Staging(const std::filesystem::path& directory) {
        std::string pattern = (directory / ".ortholink-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail_at("could not write", directory, errno);
        }
        path_ = pattern;
    }
    ~Staging() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// A new file at `path` holding `bytes`: O_EXCL and O_NOFOLLOW, so nothing
// already there (a link planted in the folder) is written through. Failures
// name `shown`, the file's place in the output directory.
void write_new_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                    const std::filesystem::path& shown) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail_at("could not write", shown, errno);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ::ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const int error = written < 0 ? errno : EIO;
            ::close(fd);
            fail_at("could not write", shown, error);
        }
        done += static_cast<std::size_t>(written);
    }
    if (::close(fd) != 0) {
        fail_at("could not write", shown, errno);
    }
}

// The folders of the output directory the files go in, made when missing;
// one that is a symbolic link or not a folder is refused, as writing into it
// would put files outside the directory. Those made are listed in `made`.
void prepare_folder(const std::filesystem::path& directory, const std::filesystem::path& relative,
                    std::vector<std::filesystem::path>& made) {
    std::filesystem::path folder = directory;
    for (const std::filesystem::path& part : relative) {
        folder /= part;
        struct stat status {};
        if (::lstat(folder.c_str(), &status) != 0) {
            if (errno != ENOENT || ::mkdir(folder.c_str(), 0777) != 0) {
                fail_at("could not create", folder, errno);
            }
            made.push_back(folder);
        } else if (S_ISLNK(status.st_mode)) {
            fail_at("could not create", folder, ELOOP);
        } else if (!S_ISDIR(status.st_mode)) {
            fail_at("could not create", folder, ENOTDIR);
        }
    }
}

}  // namespace

void write_urdf_files(const std::filesystem::path& directory, std::span<const UrdfFile> files) {
    if (files.empty()) {
        return;
    }
    std::error_code made_directory;
    std::filesystem::create_directories(directory, made_directory);
    if (made_directory) {
        throw std::filesystem::filesystem_error("could not create", directory, made_directory);
    }
    const Staging staging(directory);
    std::vector<std::filesystem::path> targets;
    for (const UrdfFile& file : files) {
        const std::filesystem::path relative(file.path);
        const std::filesystem::path staged = staging.path() / relative;
        std::error_code made;
        std::filesystem::create_directories(staged.parent_path(), made);
        if (made) {
            throw std::filesystem::filesystem_error("could not create", directory / relative.parent_path(), made);
        }
        targets.push_back(directory / relative);
        write_new_file(staged, file.bytes, targets.back());
    }

    // Every file is written; what follows either moves all of them into place
    // or leaves the directory as it was.
    std::vector<std::filesystem::path> made_folders;
    std::vector<bool> replaced(files.size(), false);
    std::vector<std::size_t> moved;
    const auto undo = [&] {
        for (auto k = moved.rbegin(); k != moved.rend(); ++k) {
            const std::filesystem::path backup = staging.path() / (".old-" + std::to_string(*k));
            if (replaced[*k]) {
                ::rename(backup.c_str(), targets[*k].c_str());
            } else {
                ::unlink(targets[*k].c_str());
            }
        }
        for (auto folder = made_folders.rbegin(); folder != made_folders.rend(); ++folder) {
            ::rmdir(folder->c_str());
        }
    };
    try {
        for (const UrdfFile& file : files) {
            prepare_folder(directory, std::filesystem::path(file.path).parent_path(), made_folders);
        }
        // A folder where a file belongs, or a folder that cannot be written,
        // fails before anything is replaced.
        for (const std::filesystem::path& target : targets) {
            struct stat status {};
            if (::lstat(target.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
                fail_at("could not write", target, EISDIR);
            }
            if (::access(target.parent_path().c_str(), W_OK | X_OK) != 0) {
                fail_at("could not write", target, errno);
            }
        }
        // The meshes first, the URDF that names them last. A file replaced is
        // kept as a hard link in the staging folder until every move is done.
        for (std::size_t step = 1; step <= files.size(); ++step) {
            const std::size_t k = step % files.size();
            const std::filesystem::path staged = staging.path() / files[k].path;
            const std::filesystem::path backup = staging.path() / (".old-" + std::to_string(k));
            if (::link(targets[k].c_str(), backup.c_str()) == 0) {
                replaced[k] = true;
            } else if (errno != ENOENT) {
                fail_at("could not write", targets[k], errno);
            }
            if (::rename(staged.c_str(), targets[k].c_str()) != 0) {
                const int error = errno;
                if (replaced[k]) {
                    ::unlink(backup.c_str());
                    replaced[k] = false;
                }
                fail_at("could not write", targets[k], error);
            }
            moved.push_back(k);
        }
    } catch (...) {
        undo();
        throw;
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
