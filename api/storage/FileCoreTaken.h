#pragma once
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace file_core {

// What a copy to another medium took from its source, each entry as it was
// when taken: the move then removes from the source that and nothing else.
// Kept flat, each entry found by its folder's number and its name, so that
// neither recording nor removing nests a call per level.
class Taken {
public:
    // The folder of the copy's top entry.
    static constexpr size_t kTop = SIZE_MAX;

    // The entry of the folder the copy is in, as it is now.
    void add(const std::string& name, const struct stat& st);
    // The copy goes into the entry added last, a folder; and back out.
    void enter();
    void leave();

    // The entry `name` of the folder numbered `folder` as it was taken, and
    // its own number in `at`; null when none was taken.
    const struct stat* find(size_t folder, const std::string& name, size_t& at) const;
    const struct stat& entry(size_t at) const { return m_entries[at]; }

private:
    std::vector<struct stat> m_entries;
    std::map<std::pair<size_t, std::string>, size_t> m_index;
    std::vector<size_t> m_folders;  // the folders the copy is in
};

// Removes from the source (the entry `name` of the open folder `dir`) what
// the copy took: an entry added since, or a file saved over since, stays,
// and so do the folders that hold it. True when all of it is gone.
bool removeTaken(int dir, const std::string& name, const Taken& taken);

} // namespace file_core
