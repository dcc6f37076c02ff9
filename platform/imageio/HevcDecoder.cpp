// HEVC decoding for libheif on every core. libheif's own libde265 decoder runs one thread, so a
// HEIC photo that is one picture (not a grid of tiles, which libheif decodes side by side)
// decodes on one core. This decoder is the same libde265 with a worker thread per core: it
// decodes the rows of a picture in parallel where the stream allows (wavefront rows, tiles),
// into the same pixels. Registered with libheif ahead of its own for the whole process, so
// libvips' HEIF loader uses it too.
#include <libde265/de265.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>

#include "ImageIOInternal.h"

namespace {

struct Decoder {
  de265_decoder_context* context = nullptr;
  bool strict = false;
};

heif_error success() { return {heif_error_Ok, heif_suberror_Unspecified, "Success"}; }

heif_error failure(heif_suberror_code code, const char* message) {
  return {heif_error_Decoder_plugin_error, code, message};
}

const char* pluginName() { return "libde265 HEVC decoder, one worker thread per core"; }
void initPlugin() {}
void deinitPlugin() {}

// Ahead of libheif's own libde265 decoder, which answers 100.
int supportsFormat(heif_compression_format format) { return format == heif_compression_HEVC ? 150 : 0; }

heif_error newDecoder(void** out) {
  auto* decoder = new Decoder;
  decoder->context = de265_new_decoder();
  if (!decoder->context) {
    delete decoder;
    return failure(heif_suberror_Unspecified, "the HEVC decoder cannot start");
  }
  const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
  // Without worker threads libde265 decodes on the calling thread, which is still right.
  if (cores > 1) (void)de265_start_worker_threads(decoder->context, static_cast<int>(cores));
  *out = decoder;
  return success();
}

void freeDecoder(void* handle) {
  auto* decoder = static_cast<Decoder*>(handle);
  de265_free_decoder(decoder->context);
  delete decoder;
}

void setStrictDecoding(void* handle, int strict) { static_cast<Decoder*>(handle)->strict = strict != 0; }

// libheif hands over NAL units, each behind its length in four bytes (big-endian): the
// parameter sets first, then the picture's slices.
heif_error pushData(void* handle, const void* data, size_t size) {
  auto* decoder = static_cast<Decoder*>(handle);
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t at = 0;
  while (size - at >= 4) {
    const uint32_t length = (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) |
                            (uint32_t{bytes[at + 2]} << 8) | uint32_t{bytes[at + 3]};
    at += 4;
    if (length > size - at || length > 0x7fffffff)
      return failure(heif_suberror_End_of_data, "an HEVC unit runs past the end of the image data");
    de265_error error = de265_push_NAL(decoder->context, bytes + at, static_cast<int>(length), 0, nullptr);
    if (!de265_isOK(error)) return failure(heif_suberror_Unspecified, de265_get_error_text(error));
    at += length;
  }
  if (at != size) return failure(heif_suberror_End_of_data, "the HEVC data ends inside a unit's length");
  return success();
}

// The decoded picture as a libheif image of the same planes, chroma and depth.
heif_error copyPicture(const de265_image* picture, heif_image** out) {
  heif_chroma chroma;
  heif_colorspace space = heif_colorspace_YCbCr;
  int planes = 3;
  switch (de265_get_chroma_format(picture)) {
    case de265_chroma_420: chroma = heif_chroma_420; break;
    case de265_chroma_422: chroma = heif_chroma_422; break;
    case de265_chroma_444: chroma = heif_chroma_444; break;
    case de265_chroma_mono:
      chroma = heif_chroma_monochrome;
      space = heif_colorspace_monochrome;
      planes = 1;
      break;
    default: return failure(heif_suberror_Unsupported_color_conversion, "an HEVC picture of an unknown chroma format");
  }
  heif_image* image = nullptr;
  heif_error error = heif_image_create(de265_get_image_width(picture, 0), de265_get_image_height(picture, 0), space,
                                       chroma, &image);
  if (error.code != heif_error_Ok) return error;
  static const heif_channel kChannels[] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
  for (int c = 0; c < planes; ++c) {
    const int width = de265_get_image_width(picture, c), height = de265_get_image_height(picture, c);
    const int bits = de265_get_bits_per_pixel(picture, c);
    if (width <= 0 || height <= 0 || bits <= 0 || bits > 16) {
      heif_image_release(image);
      return failure(heif_suberror_Unsupported_bit_depth, "an HEVC picture of an unsupported depth");
    }
    error = heif_image_add_plane(image, kChannels[c], width, height, bits);
    if (error.code != heif_error_Ok) {
      heif_image_release(image);
      return error;
    }
    int fromStride = 0, toStride = 0;
    const uint8_t* from = de265_get_image_plane(picture, c, &fromStride);
    uint8_t* to = heif_image_get_plane(image, kChannels[c], &toStride);
    const size_t rowBytes = static_cast<size_t>(width) * (bits > 8 ? 2 : 1);
    if (!from || !to || static_cast<size_t>(fromStride) < rowBytes || static_cast<size_t>(toStride) < rowBytes) {
      heif_image_release(image);
      return failure(heif_suberror_Unspecified, "an HEVC picture without its pixels");
    }
    for (int y = 0; y < height; ++y)
      std::memcpy(to + static_cast<size_t>(y) * toStride, from + static_cast<size_t>(y) * fromStride, rowBytes);
  }
  // The colour description of the stream goes along, as libheif's own decoder gives it: libheif
  // converts the picture by it where the file has none, and without it some of its
  // conversions round differently from one run to the next.
  if (heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc()) {
    (void)heif_nclx_color_profile_set_color_primaries(nclx, static_cast<uint16_t>(de265_get_image_colour_primaries(picture)));
    (void)heif_nclx_color_profile_set_transfer_characteristics(
        nclx, static_cast<uint16_t>(de265_get_image_transfer_characteristics(picture)));
    (void)heif_nclx_color_profile_set_matrix_coefficients(nclx, static_cast<uint16_t>(de265_get_image_matrix_coefficients(picture)));
    nclx->full_range_flag = static_cast<uint8_t>(de265_get_image_full_range_flag(picture) != 0);
    (void)heif_image_set_nclx_color_profile(image, nclx);
    heif_nclx_color_profile_free(nclx);
  }
  *out = image;
  return success();
}

heif_error decodeImage(void* handle, heif_image** out) {
  auto* decoder = static_cast<Decoder*>(handle);
  de265_decoder_context* context = decoder->context;
  de265_flush_data(context);
  // libde265 reports more work while decoded pictures wait to be taken, so the picture is
  // taken as soon as there is one.
  const de265_image* picture = nullptr;
  int more = 1;
  while (more && !picture) {
    more = 0;
    de265_error error = de265_decode(context, &more);
    if (error == DE265_ERROR_WAITING_FOR_INPUT_DATA) break;
    if (!de265_isOK(error)) return failure(heif_suberror_Unspecified, de265_get_error_text(error));
    picture = de265_get_next_picture(context);
  }
  if (!picture) picture = de265_get_next_picture(context);
  if (!picture) return failure(heif_suberror_End_of_data, "the HEVC data holds no picture");
  // A damaged stream still gives a picture, as libheif's own decoder gives it; in strict
  // decoding its warnings make it an error.
  if (decoder->strict && !de265_isOK(de265_get_warning(context))) {
    de265_release_next_picture(context);
    return failure(heif_suberror_Unspecified, "the HEVC data is damaged");
  }
  heif_error copied = copyPicture(picture, out);
  de265_release_next_picture(context);
  return copied;
}

const heif_decoder_plugin kPlugin = {
    /* plugin_api_version */ 3, pluginName, initPlugin, deinitPlugin, supportsFormat, newDecoder, freeDecoder,
    pushData, decodeImage, setStrictDecoding, "velm-libde265-threads",
};

}  // namespace

namespace imageio {

void registerHevcDecoder() { (void)heif_register_decoder_plugin(&kPlugin); }

}  // namespace imageio
