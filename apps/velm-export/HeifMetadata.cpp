#include "HeifMetadata.h"

#include <libheif/heif.h>

#include <memory>
#include <vector>

namespace {

struct ContextFree {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
  void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};

// The largest packet read; XMP packets are small.
constexpr size_t kMaxPacket = 16 << 20;

}  // namespace

std::string heifXmpPacket(const std::string& path) {
  std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
  if (!context || heif_context_read_from_file(context.get(), path.c_str(), nullptr).code != heif_error_Ok) return "";
  heif_image_handle* raw = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &raw).code != heif_error_Ok) return "";
  std::unique_ptr<heif_image_handle, HandleRelease> handle(raw);
  int count = heif_image_handle_get_number_of_metadata_blocks(handle.get(), "mime");
  if (count <= 0) return "";
  std::vector<heif_item_id> ids(static_cast<size_t>(count));
  count = heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "mime", ids.data(), count);
  for (int i = 0; i < count; ++i) {
    const char* type = heif_image_handle_get_metadata_content_type(handle.get(), ids[static_cast<size_t>(i)]);
    if (!type || std::string(type) != "application/rdf+xml") continue;
    size_t size = heif_image_handle_get_metadata_size(handle.get(), ids[static_cast<size_t>(i)]);
    if (size == 0 || size > kMaxPacket) continue;
    std::string packet(size, '\0');
    if (heif_image_handle_get_metadata(handle.get(), ids[static_cast<size_t>(i)], packet.data()).code == heif_error_Ok)
      return packet;
  }
  return "";
}
