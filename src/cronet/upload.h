// The request body as Cronet's upload data provider sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byte_buffer.h"
#include "cronet_c.h"

namespace tarnwick {

// Client context of one upload provider; freed by its close function.
struct UploadBody {
  ByteBuffer bytes;
  std::size_t position = 0;  // bytes handed out since the start or the last rewind

  explicit UploadBody(ByteBuffer b) noexcept : bytes(std::move(b)) {}

  std::int64_t length() const noexcept { return static_cast<std::int64_t>(bytes.size()); }

  // Copies the next bytes into dst; 0 once the body is exhausted.
  std::size_t read_into(void* dst, std::size_t capacity) noexcept {
    std::size_t n = bytes.size() - position;
    if (n > capacity) n = capacity;
    if (n > 0) {
      std::memcpy(dst, bytes.data() + position, n);
      position += n;
    }
    return n;
  }

  void rewind() noexcept { position = 0; }
};

// The provider functions, registered in this order.
std::int64_t upload_get_length(Cronet_UploadDataProviderPtr provider);
void upload_read(Cronet_UploadDataProviderPtr provider, Cronet_UploadDataSinkPtr sink,
                 Cronet_BufferPtr buffer);
void upload_rewind(Cronet_UploadDataProviderPtr provider, Cronet_UploadDataSinkPtr sink);
void upload_close(Cronet_UploadDataProviderPtr provider);

// A provider whose context owns `body` (moved in, never copied).
Cronet_UploadDataProviderPtr make_upload_provider(ByteBuffer body);

}  // namespace tarnwick
