#include "upload/gzip_base64_stream.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "client/payload.h"

namespace rest_client {
namespace {

// A gzip header with no name, no time, and "unknown" for the system.
constexpr unsigned char kHeader[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 0xff};

// ISA-L's compression level, and the working buffer each level wants.
constexpr int kLevel = 2;
constexpr std::size_t kLevelBufferSize[] = {ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_DEFAULT,
                                            ISAL_DEF_LVL2_DEFAULT, ISAL_DEF_LVL3_DEFAULT};

}  // namespace

GzipBase64Stream::GzipBase64Stream(WorkerPool& workers, std::size_t chunk_size)
    : workers_(workers) {
  // Two slots a worker: one being compressed while the other waits to be emitted.
  for (unsigned i = 0; i < 2 * workers.size() + 1; ++i) {
    auto chunk = std::make_unique<Chunk>();
    chunk->input.resize(chunk_size);
    slots_.push_back(std::move(chunk));
  }
}

GzipBase64Stream::~GzipBase64Stream() {
  wait_for_workers();
}

void GzipBase64Stream::wait_for_workers() {
  std::unique_lock<std::mutex> lock(mutex_);
  work_done_.wait(lock, [&] {
    return std::none_of(slots_.begin(), slots_.end(), [](const auto& slot) {
      return slot->state == Chunk::State::kQueued || slot->state == Chunk::State::kWorking;
    });
  });
}

void GzipBase64Stream::compress_queued(Chunk& chunk) {
  // Each worker keeps the level's buffer for every chunk it compresses.
  thread_local std::vector<unsigned char> level_buffer(kLevelBufferSize[kLevel]);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chunk.state = Chunk::State::kWorking;
  }
  bool failed = false;
  try {
    compress(chunk, level_buffer);
  } catch (const std::exception&) {
    failed = true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  chunk.failed = failed;
  chunk.state = Chunk::State::kDone;
  work_done_.notify_all();
}

void GzipBase64Stream::compress(Chunk& chunk, std::vector<unsigned char>& level_buffer) {
  // The gzip CRC-32 (zlib's crc32), several times faster than zlib's own.
  chunk.crc = crc32_gzip_refl(0, chunk.input.data(), chunk.input_size);
  isal_zstream stream;
  isal_deflate_init(&stream);
  stream.level = kLevel;
  stream.level_buf = level_buffer.data();
  stream.level_buf_size = static_cast<uint32_t>(level_buffer.size());
  stream.gzip_flag = IGZIP_DEFLATE;
  // A full flush ends the chunk on a byte boundary with no history carried over, so the next
  // chunk's deflate blocks follow it directly; only the last chunk ends the stream.
  stream.flush = chunk.last ? NO_FLUSH : FULL_FLUSH;
  stream.end_of_stream = chunk.last ? 1 : 0;
  stream.next_in = chunk.input.data();
  stream.avail_in = static_cast<uint32_t>(chunk.input_size);
  const std::size_t bound = chunk.input_size + chunk.input_size / 8 + 1024;
  if (chunk.output.size() < bound) chunk.output.resize(bound);
  chunk.output_size = 0;
  for (;;) {
    if (chunk.output_size == chunk.output.size()) chunk.output.resize(chunk.output.size() * 2);
    stream.next_out = chunk.output.data() + chunk.output_size;
    stream.avail_out = static_cast<uint32_t>(chunk.output.size() - chunk.output_size);
    const std::size_t room = stream.avail_out;
    if (isal_deflate(&stream) != COMP_OK) throw std::runtime_error("gzip compression failed");
    chunk.output_size += room - stream.avail_out;
    // Room left after the call means the input and the flush were written out whole.
    if (chunk.last ? stream.internal_state.state == ZSTATE_END
                   : stream.avail_in == 0 && stream.avail_out > 0) {
      break;
    }
  }
}

void GzipBase64Stream::begin(std::string* target) {
  // Chunks of a member that was abandoned may still be with the workers.
  wait_for_workers();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& slot : slots_) {
      slot->state = Chunk::State::kFree;
      slot->input_size = 0;
      slot->failed = false;
    }
  }
  target_ = target;
  carry_size_ = 0;
  raw_size_ = 0;
  crc_ = crc32(0L, Z_NULL, 0);
  filling_ = next_emit_ = pending_ = 0;
  encode(kHeader, sizeof kHeader);
}

void GzipBase64Stream::write(const char* data, std::size_t size) {
  raw_size_ += size;
  while (size > 0) {
    Chunk& chunk = *slots_[filling_];
    const std::size_t n = std::min(size, chunk.input.size() - chunk.input_size);
    std::memcpy(chunk.input.data() + chunk.input_size, data, n);
    chunk.input_size += n;
    data += n;
    size -= n;
    if (chunk.input_size == chunk.input.size()) submit(false);
  }
}

void GzipBase64Stream::submit(bool last) {
  Chunk& chunk = *slots_[filling_];
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chunk.last = last;
    chunk.state = Chunk::State::kQueued;
  }
  workers_.post([this, &chunk] { compress_queued(chunk); });
  ++pending_;
  filling_ = (filling_ + 1) % slots_.size();
  // The next slot to fill is free only once its earlier output has been emitted; the last
  // chunk emits everything.
  while (pending_ == slots_.size() || (last && pending_ > 0)) {
    emit(*slots_[next_emit_]);
    next_emit_ = (next_emit_ + 1) % slots_.size();
    --pending_;
  }
  slots_[filling_]->input_size = 0;
}

void GzipBase64Stream::emit(Chunk& chunk) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    work_done_.wait(lock, [&] { return chunk.state == Chunk::State::kDone; });
    chunk.state = Chunk::State::kFree;
  }
  if (chunk.failed) throw std::runtime_error("gzip compression failed");
  crc_ = crc32_combine(crc_, chunk.crc, static_cast<z_off_t>(chunk.input_size));
  encode(chunk.output.data(), chunk.output_size);
}

void GzipBase64Stream::finish() {
  submit(true);
  unsigned char trailer[8];
  const auto size = static_cast<std::uint32_t>(raw_size_);  // ISIZE is the size modulo 2^32
  for (int i = 0; i < 4; ++i) {
    trailer[i] = static_cast<unsigned char>(crc_ >> (8 * i));
    trailer[4 + i] = static_cast<unsigned char>(size >> (8 * i));
  }
  encode(trailer, sizeof trailer);
  if (carry_size_ > 0) base64_append(carry_, carry_size_, *target_);
  carry_size_ = 0;
}

void GzipBase64Stream::encode(const unsigned char* data, std::size_t size) {
  while (carry_size_ > 0 && carry_size_ < 3 && size > 0) {
    carry_[carry_size_++] = *data++;
    --size;
  }
  if (carry_size_ == 3) {
    base64_append(carry_, 3, *target_);
    carry_size_ = 0;
  }
  const std::size_t whole = size - size % 3;
  base64_append(data, whole, *target_);
  for (std::size_t i = whole; i < size; ++i) carry_[carry_size_++] = data[i];
}

}  // namespace rest_client
