// The test archive writer: a direct transcription of the 7z header layout, field by field.
// Encoded headers are not written here; the independent producer makes those.
#include "archive_builder.h"

#include <zlib.h>

namespace archivetest {

HeaderWriter& HeaderWriter::byte(uint8_t b) {
  out_.push_back(b);
  return *this;
}

HeaderWriter& HeaderWriter::number(uint64_t v) {
  // First byte: as many leading 1 bits as extra bytes follow, then the high bits of the value.
  int extra = 0;
  while (extra < 8 && v >= (1ull << (7 * (extra + 1)))) extra++;
  if (extra == 8) {
    out_.push_back(0xFF);
    for (int i = 0; i < 8; i++) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  uint8_t first = static_cast<uint8_t>(0xFF00 >> extra);
  first = static_cast<uint8_t>(first | (v >> (8 * extra)));
  out_.push_back(first);
  for (int i = 0; i < extra; i++) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return *this;
}

HeaderWriter& HeaderWriter::u32(uint32_t v) {
  for (int i = 0; i < 4; i++) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return *this;
}

HeaderWriter& HeaderWriter::raw(const Bytes& b) {
  out_.insert(out_.end(), b.begin(), b.end());
  return *this;
}

uint32_t crcOf(const Bytes& b) { return static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size()))); }

namespace {

void bitVector(HeaderWriter& w, const std::vector<bool>& bits) {
  uint8_t b = 0;
  int n = 0;
  for (bool bit : bits) {
    b = static_cast<uint8_t>(b | (bit ? 0x80 >> n : 0));
    if (++n == 8) {
      w.byte(b);
      b = 0;
      n = 0;
    }
  }
  if (n) w.byte(b);
}

void digests(HeaderWriter& w, const std::vector<std::optional<uint32_t>>& crcs) {
  bool all = true;
  for (auto& c : crcs) all = all && c.has_value();
  w.byte(all ? 1 : 0);
  if (!all) {
    std::vector<bool> bits;
    for (auto& c : crcs) bits.push_back(c.has_value());
    bitVector(w, bits);
  }
  for (auto& c : crcs)
    if (c) w.u32(*c);
}

Bytes utf16(const std::string& s) {
  // Enough UTF-8 decoding for test names (up to 4-byte sequences).
  Bytes out;
  for (size_t i = 0; i < s.size();) {
    uint32_t c = static_cast<uint8_t>(s[i]);
    int n = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    c &= n == 0 ? 0x7F : (0x3F >> n);
    for (int k = 1; k <= n; k++) c = (c << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
    i += static_cast<size_t>(n) + 1;
    auto unit = [&](uint32_t u) {
      out.push_back(static_cast<uint8_t>(u));
      out.push_back(static_cast<uint8_t>(u >> 8));
    };
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

}  // namespace

Bytes writeHeader(const ArchiveLayout& layout) {
  HeaderWriter w;
  w.byte(0x01);
  if (!layout.folders.empty() || !layout.packSizes.empty()) {
    w.byte(0x04);
    w.byte(0x06).number(0).number(layout.packSizes.size()).byte(0x09);
    for (uint64_t s : layout.packSizes) w.number(s);
    w.byte(0x00);
    w.byte(0x07).byte(0x0B).number(layout.folders.size()).byte(0x00);
    for (const FolderLayout& f : layout.folders) {
      w.number(f.coders.size());
      for (const CoderLayout& c : f.coders) {
        bool complex = c.numIn != 1 || c.numOut != 1;
        w.byte(static_cast<uint8_t>(c.id.size() | (complex ? 0x10 : 0) | (c.props.empty() ? 0 : 0x20)));
        w.raw(c.id);
        if (complex) w.number(c.numIn).number(c.numOut);
        if (!c.props.empty()) w.number(c.props.size()).raw(c.props);
      }
      for (auto& bp : f.bindPairs) w.number(bp.first).number(bp.second);
      if (f.packStreams.size() > 1)
        for (uint32_t p : f.packStreams) w.number(p);
    }
    w.byte(0x0C);
    for (const FolderLayout& f : layout.folders)
      for (uint64_t s : f.unpackSizes) w.number(s);
    bool anyCrc = false;
    for (const FolderLayout& f : layout.folders) anyCrc = anyCrc || f.crc.has_value();
    if (anyCrc) {
      std::vector<std::optional<uint32_t>> crcs;
      for (const FolderLayout& f : layout.folders) crcs.push_back(f.crc);
      w.byte(0x0A);
      digests(w, crcs);
    }
    w.byte(0x00);
    if (layout.substreams) {
      w.byte(0x08).byte(0x0D);
      for (const FolderLayout& f : layout.folders) w.number(f.streamSizes.size());
      w.byte(0x09);
      for (const FolderLayout& f : layout.folders)
        for (size_t i = 0; i + 1 < f.streamSizes.size(); i++) w.number(f.streamSizes[i]);
      std::vector<std::optional<uint32_t>> crcs;
      for (const FolderLayout& f : layout.folders)
        if (!(f.streamSizes.size() == 1 && f.crc))
          for (size_t i = 0; i < f.streamSizes.size(); i++)
            crcs.push_back(i < f.streamCrcs.size() ? f.streamCrcs[i] : std::nullopt);
      bool anyStreamCrc = false;
      for (auto& c : crcs) anyStreamCrc = anyStreamCrc || c.has_value();
      if (anyStreamCrc) {
        w.byte(0x0A);
        digests(w, crcs);
      }
      w.byte(0x00);
    }
    w.byte(0x00);
  }
  if (!layout.files.empty()) {
    w.byte(0x05).number(layout.files.size());
    std::vector<bool> empty, emptyFile;
    bool anyEmpty = false, anyEmptyFile = false;
    for (const FileLayout& f : layout.files) {
      empty.push_back(!f.hasStream);
      anyEmpty = anyEmpty || !f.hasStream;
      if (!f.hasStream) {
        emptyFile.push_back(f.emptyFile);
        anyEmptyFile = anyEmptyFile || f.emptyFile;
      }
    }
    if (anyEmpty) {
      HeaderWriter v;
      bitVector(v, empty);
      w.byte(0x0E).number(v.bytes().size()).raw(v.bytes());
    }
    if (anyEmptyFile) {
      HeaderWriter v;
      bitVector(v, emptyFile);
      w.byte(0x0F).number(v.bytes().size()).raw(v.bytes());
    }
    if (layout.names) {
      Bytes names;
      for (const FileLayout& f : layout.files) {
        Bytes u = utf16(f.name);
        names.insert(names.end(), u.begin(), u.end());
      }
      w.byte(0x11).number(names.size() + 1).byte(0x00).raw(names);
    }
    w.byte(0x00);
  }
  w.byte(0x00);
  return w.bytes();
}

Bytes makeArchive(const Bytes& packed, const Bytes& header, bool goodCrcs) {
  Bytes start(20);
  uint64_t offset = packed.size(), size = header.size();
  for (int i = 0; i < 8; i++) start[i] = static_cast<uint8_t>(offset >> (8 * i));
  for (int i = 0; i < 8; i++) start[8 + i] = static_cast<uint8_t>(size >> (8 * i));
  uint32_t headerCrc = crcOf(header) ^ (goodCrcs ? 0 : 1);
  for (int i = 0; i < 4; i++) start[16 + i] = static_cast<uint8_t>(headerCrc >> (8 * i));
  uint32_t startCrc = crcOf(start) ^ (goodCrcs ? 0 : 1);
  Bytes out = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
  for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(startCrc >> (8 * i)));
  out.insert(out.end(), start.begin(), start.end());
  out.insert(out.end(), packed.begin(), packed.end());
  out.insert(out.end(), header.begin(), header.end());
  return out;
}

namespace {

Bytes solid(const std::vector<std::pair<std::string, Bytes>>& files, ArchiveLayout* layout, FolderLayout* folder) {
  Bytes all;
  for (auto& [name, data] : files) {
    FileLayout f;
    f.name = name;
    f.hasStream = !data.empty();
    f.emptyFile = data.empty();
    layout->files.push_back(f);
    if (!data.empty()) {
      folder->streamSizes.push_back(data.size());
      folder->streamCrcs.push_back(crcOf(data));
      all.insert(all.end(), data.begin(), data.end());
    }
  }
  folder->unpackSizes = {all.size()};
  return all;
}

}  // namespace

Bytes copyArchive(const std::vector<std::pair<std::string, Bytes>>& files, bool withCrcs) {
  ArchiveLayout layout;
  FolderLayout folder;
  folder.coders = {CoderLayout{{0x00}, {}, 1, 1}};
  Bytes all = solid(files, &layout, &folder);
  if (!withCrcs) folder.streamCrcs.clear();
  layout.packed = all;
  layout.packSizes = {all.size()};
  if (!all.empty()) layout.folders = {folder};
  else layout.packSizes.clear();
  return makeArchive(layout.packed, writeHeader(layout));
}

Bytes lzma2Archive(const std::vector<std::pair<std::string, Bytes>>& files, uint8_t dictProp) {
  ArchiveLayout layout;
  FolderLayout folder;
  folder.coders = {CoderLayout{{0x21}, {dictProp}, 1, 1}};
  Bytes all = solid(files, &layout, &folder);
  layout.packed = xzCompress(all, "--format=raw --lzma2=dict=1MiB");
  layout.packSizes = {layout.packed.size()};
  layout.folders = {folder};
  return makeArchive(layout.packed, writeHeader(layout));
}

}  // namespace archivetest
