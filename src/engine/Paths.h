#pragma once
// Path pieces the whole engine writes the same way: UTF-8, "/" between folders.
#include <string>

namespace engine {

// Appended to a name for a file written beside it: a download or a durable write still in
// progress, and an old copy kept during an install.
inline constexpr char TemporarySuffix[] = ".tmp";
inline constexpr char AsideSuffix[] = ".updbak~";

// The folder that holds path: "." when path names no folder, "/" for a file at the root.
inline std::string FolderOf(const std::string& path)
{
  const std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace engine
