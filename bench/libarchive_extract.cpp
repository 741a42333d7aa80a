// libarchive_extract: the independent baseline of compare_7z.sh. Reads each 7z archive with
// libarchive in-process and writes every regular file flat into the current folder, like
// extract_7z in all-files mode. Exit status 0 when every archive was read completely.
#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <cstring>

namespace {

bool extractOne(const char* path) {
  struct archive* a = archive_read_new();
  archive_read_support_format_7zip(a);
  bool ok = archive_read_open_filename(a, path, 1 << 16) == ARCHIVE_OK;
  struct archive_entry* entry;
  int r = ARCHIVE_OK;
  while (ok && (r = archive_read_next_header(a, &entry)) == ARCHIVE_OK) {
    if (archive_entry_filetype(entry) != AE_IFREG) continue;
    const char* name = archive_entry_pathname(entry);
    const char* base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    std::FILE* out = std::fopen(base, "wb");
    if (out == nullptr) {
      ok = false;
      break;
    }
    const void* block;
    size_t size;
    la_int64_t offset;
    int d;
    while ((d = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK) {
      if (std::fwrite(block, 1, size, out) != size) ok = false;
    }
    if (d != ARCHIVE_EOF) ok = false;
    if (std::fclose(out) != 0) ok = false;
  }
  if (ok && r != ARCHIVE_EOF) ok = false;
  if (!ok) std::fprintf(stderr, "libarchive_extract: %s: %s\n", path, archive_error_string(a));
  archive_read_free(a);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  for (int i = 1; i < argc; i++)
    if (!extractOne(argv[i])) status = 1;
  return status;
}
