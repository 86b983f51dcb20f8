#include "upload.h"

namespace tarnwick {

namespace {
UploadBody* body_of(Cronet_UploadDataProviderPtr provider) {
  return static_cast<UploadBody*>(Cronet_UploadDataProvider_GetClientContext(provider));
}
}  // namespace

std::int64_t upload_get_length(Cronet_UploadDataProviderPtr provider) {
  UploadBody* body = body_of(provider);
  return body ? body->length() : 0;
}

void upload_read(Cronet_UploadDataProviderPtr provider, Cronet_UploadDataSinkPtr sink,
                 Cronet_BufferPtr buffer) {
  UploadBody* body = body_of(provider);
  std::size_t n = 0;
  if (body != nullptr) {
    auto capacity = static_cast<std::size_t>(Cronet_Buffer_GetSize(buffer));
    void* dst = Cronet_Buffer_GetData(buffer);
    if (dst != nullptr) n = body->read_into(dst, capacity);
  }
  // The length is announced up front, so the body is never sent as chunks.
  Cronet_UploadDataSink_OnReadSucceeded(sink, n, false);
}

void upload_rewind(Cronet_UploadDataProviderPtr provider, Cronet_UploadDataSinkPtr sink) {
  if (UploadBody* body = body_of(provider)) body->rewind();
  Cronet_UploadDataSink_OnRewindSucceeded(sink);
}

void release_upload_body(UploadBody* body) noexcept {
  if (body != nullptr && body->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete body;
}

void upload_close(Cronet_UploadDataProviderPtr provider) {
  UploadBody* body = body_of(provider);
  if (body == nullptr) return;
  // The handle outlives this call; later calls must not see the record.
  Cronet_UploadDataProvider_SetClientContext(provider, nullptr);
  body->drop_bytes();
  release_upload_body(body);
}

namespace {
Cronet_UploadDataProviderPtr provider_for(UploadBody* record, UploadBody*& out) {
  Cronet_UploadDataProviderPtr provider = Cronet_UploadDataProvider_CreateWith(
      upload_get_length, upload_read, upload_rewind, upload_close);
  Cronet_UploadDataProvider_SetClientContext(provider, record);
  out = record;
  return provider;
}
}  // namespace

Cronet_UploadDataProviderPtr make_upload_provider(ByteBuffer body, UploadBody*& out) {
  return provider_for(new UploadBody(std::move(body)), out);
}

Cronet_UploadDataProviderPtr make_upload_provider(std::span<const std::uint8_t> lent,
                                                  UploadBody*& out) {
  return provider_for(new UploadBody(lent), out);
}

}  // namespace tarnwick
