// The tree reader on a raw disk or image file: reads go through raw_read_at, which also serves
// devices that take whole aligned sectors only.
#include "platform/files.h"
#include "scan/fs_tree.h"

size_t fs_tree_read(RawFile* disk, uint64_t disk_size, DirTree* tree) {
    const FsTreeReader read = [disk](uint64_t offset, void* buffer, size_t length) {
        return raw_read_at(disk, offset, buffer, length);
    };
    return fs_tree_read_from(read, disk_size, tree);
}
