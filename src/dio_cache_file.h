// The direct-I/O cache behind the safe-write stream. The file is split in
// two regions with one block-aligned memory buffer each:
//  - the header region [0, header size): kept in memory for the whole
//    recording (dio_page_buffer); after its first write only the pages an
//    in-place update changed go to disk again, merged into ranges that are
//    rewritten in any order and made durable by one barrier per flush;
//  - the data region behind it: a sliding window of block count x block size
//    bytes (dio_buffer), written whole each time it fills.
// All file access goes through one write-through bv_direct_io.
//
// A failed write of the file throws bv_mp4_exception with its error number
// (after the log line) and the file takes no more writes afterwards, so a
// recording never carries on with data missing behind a success, and what
// already reached the disk stays intact. The one exception is the rescue:
// the header pages may then be rewritten in place (they need no new space),
// so that the header can describe exactly what reached the disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bv_direct_io.h"

namespace bv {

struct dio_cache_config {
  uint32_t block_size = 0;
  uint32_t block_num = 0;
  uint32_t header_size = 0;
  uint32_t page_multiple = 1;
};

// A window of the file in an aligned buffer, starting at a multiple of the
// alignment.
class dio_buffer {
 public:
  dio_buffer(std::shared_ptr<bv_direct_io> io, uint32_t size, uint32_t alignment, uint64_t start);
  virtual ~dio_buffer() = default;
  dio_buffer(const dio_buffer&) = delete;
  dio_buffer& operator=(const dio_buffer&) = delete;

  // Moves the position to file offset p, sliding the window (and loading it
  // from the file when it holds data already written) when p is outside.
  virtual bool seek(uint64_t p);
  virtual uint32_t write(const void* src, uint32_t n);
  // Writes the window: exactly the bytes written when they end on a block
  // boundary, otherwise the whole window.
  virtual void flush();
  virtual uint64_t tell() const { return m_start + m_pos; }
  // The free end of the window, for a caller that builds its next bytes in
  // place: only at the end of everything written (what lies behind is then
  // no content) and when `need` bytes are free, their number in *capacity;
  // nullptr otherwise. Lending never writes the window, so a lent range
  // never spans a window write.
  uint8_t* lend(uint32_t need, uint32_t* capacity);
  // Takes the first `n` bytes at the position as written; false when they
  // pass the window.
  bool commit(uint32_t n);

  // The end of the furthest data ever flushed (64-bit: recordings pass 4 GiB).
  uint64_t on_disk_size() const { return m_onDisk; }
  uint64_t window_start() const { return m_start; }

 protected:
  void load(bool withSeek);
  // Writes `length` window bytes from `from` at file offset `offset`, of
  // which the first `content` are the file's content (the rest pads);
  // `deferred`: a rewrite may wait for the next barrier.
  void put(uint64_t offset, const uint8_t* from, uint32_t length, uint32_t content, bool deferred = false);
  // Starts an empty window at `start` (loaded when the file holds data there).
  void move_to(uint64_t start, bool withSeek);

  std::shared_ptr<bv_direct_io> m_io;
  std::unique_ptr<uint8_t[]> m_raw;
  uint8_t* m_data = nullptr;  // first multiple of the alignment in m_raw
  uint32_t m_size;
  uint32_t m_pos = 0;
  bool m_dirty = false;
  uint64_t m_start;
  uint64_t m_end;
  uint64_t m_onDisk = 0;
  uint32_t m_hwm = 0;  // highest position written since the last flush
  uint64_t m_filled = 0;  // file offset of the end of everything written here
  uint32_t m_alignment;
  // Window bytes from here on may be stale (a previous window's, or lent
  // and never committed): zeroed when the position passes them or padding
  // takes them, so that no stale byte reaches the file. Never below m_pos.
  uint32_t m_clean = 0;
  void zero_gap();  // zeroes up to the position
  // Takes `n` bytes placed at the position into the content.
  void advance(uint32_t n);
};

// The header region: a fixed window [0, size) that tracks the pages changed
// after its first flush.
class dio_page_buffer : public dio_buffer {
 public:
  dio_page_buffer(std::shared_ptr<bv_direct_io> io, uint32_t size, uint32_t page_size, uint32_t alignment);

  bool seek(uint64_t p) override;
  // Copies what fits in the region; 0 when nothing fits.
  uint32_t write(const void* src, uint32_t n) override;
  void flush() override;

  uint32_t page_count() const { return m_pageCount; }
  bool written_once() const { return m_writtenOnce; }
  // Drops the pending page changes without writing them, and clears the
  // bytes from `from` on, so that a page written later carries no content
  // that did not reach the disk in its turn.
  void forget_dirty(uint64_t from);

 private:
  void add_dirty_range(uint32_t first, uint32_t last);

  uint32_t m_pageCount;
  uint32_t m_pageSize;
  std::vector<uint32_t> m_dirtyPages;
  std::vector<uint8_t> m_pageFlags;
  bool m_writtenOnce = false;
};

class dio_cache_file {
 public:
  // Creates the file. Throws bv_mp4_exception: 4 for a null path or a bad
  // configuration, or bv_direct_io's codes.
  dio_cache_file(const char* path, const dio_cache_config& config);
  // Writes what is pending and closes, unless close() ran.
  virtual ~dio_cache_file();
  dio_cache_file(const dio_cache_file&) = delete;
  dio_cache_file& operator=(const dio_cache_file&) = delete;

  virtual uint32_t write(const void* src, uint32_t n);
  // The free end of the media data window (see dio_buffer::lend); nullptr
  // in the header region and once the file is closed or failed.
  uint8_t* lend(uint32_t need, uint32_t* capacity);
  // Appends the first `n` bytes of the space lent last; false (nothing
  // appended) when the file was written, moved or flushed in between.
  bool commit(uint32_t n);
  virtual int64_t tell() const;
  // origin 0 or 1; origin 2 and others throw 11.
  bool seek(int64_t offset, int origin);
  void flush();
  uint64_t on_disk_size() const;
  // Writes the pending data window and header pages and closes the file: 0,
  // or the error number of the first failed write (then nothing more is
  // written, so the disk keeps its last consistent state).
  int close();

  uint32_t header_size() const { return m_headerSize; }
  int write_error() const { return m_io->write_error(); }

  // The end of the file's leading bytes known to hold what was written to
  // them: after a fault, the media data up to here is on the disk.
  uint64_t durable_size() const { return m_io->durable_end(); }
  // The end of the furthest byte written through this cache; the file on
  // disk runs on to the end of the last whole block.
  uint64_t written_end() const { return m_end; }
  // The end of the furthest byte that landed in the file.
  uint64_t extent() const { return m_io->extent(); }

  // The rescue after a failed write: the header pages, already on disk, are
  // rewritten in place to describe what reached it. begin_rescue drops the
  // pending pages and the header region's bytes past the durable size
  // (media that did not make it), and is false unless a write failed after
  // the header was written. rescue_write changes header
  // bytes in memory (false outside the header region); rescue_flush writes
  // the changed pages and throws bv_mp4_exception when one fails.
  bool begin_rescue();
  bool rescue_write(uint64_t offset, const void* src, uint32_t n);
  void rescue_flush();

 private:
  std::string m_path;
  uint32_t m_headerSize = 0;
  std::shared_ptr<bv_direct_io> m_io;
  std::shared_ptr<dio_buffer> m_data;
  std::shared_ptr<dio_page_buffer> m_header;
  bool m_inHeader = true;
  bool m_closed = false;
  uint64_t m_end = 0;
  // Counts the calls that change the file or its position, so that commit
  // knows whether the space it appends is still the space lent.
  uint64_t m_changes = 0;
  uint64_t m_lentAt = ~uint64_t{0};
};

}  // namespace bv
