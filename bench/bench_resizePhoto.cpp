// Photo preparation at 1600 pixels on a 6000 by 4000 JPEG, side by side with the vipsthumbnail
// program and with ImageMagick (convert's options, run through mogrify so that one process
// prepares all photos). Each contender is one process that prepares kPhotos photos, so start-up
// is paid once; the time reported is per photo, peak_MB the process's peak resident memory.
// BM_PathQuality measures how far the decoder-shrink path is from scaling the full decode: the
// PSNR of its pixels (saved losslessly enough, at quality 100) against libvips' scaling of the
// fully decoded photo, for several sizes.
//
// The test photo (a fractal landscape with GPS and IPTC metadata) is made on the first run and
// kept in bench/data beside this program.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ImageIO.h"
#include "fileEngine.h"
#include "resizePhotoFileAs.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

constexpr int kPhotos = 8;
constexpr int kSize = 1600;

fs::path gSelf;
fs::path gData;
std::vector<std::string> gPhotos;  // kPhotos names of the same photo

int shell(const std::string& command) { return std::system(command.c_str()); }

std::string capture(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

void makeTestPhotos() {
  gData = gSelf.parent_path() / "data";
  fs::create_directories(gData);
  fs::path photo = gData / "photo6000.jpg";
  if (!fs::exists(photo)) {
    fprintf(stderr, "making the 6000 x 4000 test photo (once)...\n");
    fs::path tmp = gData / "photo6000-tmp.jpg";
    if (shell("convert -size 6000x4000 -seed 7 plasma:fractal -blur 0x1 -quality 90 '" + tmp.string() + "'") != 0 ||
        shell("exiftool -q -q -overwrite_original -GPSLatitude=48.1 -GPSLatitudeRef=N -GPSLongitude=11.5 "
              "-GPSLongitudeRef=E -IPTC:City=Bern '-IPTC:Caption-Abstract=At the river' -IPTC:Keywords=river '" +
              tmp.string() + "'") != 0) {
      fprintf(stderr, "cannot make the test photo (convert and exiftool are needed)\n");
      exit(1);
    }
    fs::rename(tmp, photo);
  }
  // Distinct names, so that no program can take one photo for another it has seen.
  for (int i = 0; i < kPhotos; ++i) {
    fs::path link = gData / ("photo6000-" + std::to_string(i) + ".jpg");
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_hard_link(photo, link, ec);
    if (ec) fs::copy_file(photo, link, fs::copy_options::overwrite_existing);
    gPhotos.push_back(link.string());
  }
}

struct RunResult {
  double seconds = 0;
  double peakMB = 0;
  bool ok = false;
};

// Runs a program to completion; its wall time and peak resident memory.
RunResult runProcess(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  RunResult r;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return r;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peakMB = usage.ru_maxrss / 1024.0;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

void report(benchmark::State& state, const std::vector<std::string>& argv) {
  RunResult last;
  for (auto _ : state) {
    last = runProcess(argv);
    if (!last.ok) {
      state.SkipWithError(("failed: " + argv[0]).c_str());
      return;
    }
    state.SetIterationTime(last.seconds / kPhotos);
  }
  state.counters["peak_MB"] = last.peakMB;
  state.counters["photos_per_process"] = kPhotos;
}

void BM_resizePhotoFileAs(benchmark::State& state) {
  std::vector<std::string> argv{gSelf.string(), "--prepare", std::to_string(kSize)};
  argv.insert(argv.end(), gPhotos.begin(), gPhotos.end());
  report(state, argv);
}
BENCHMARK(BM_resizePhotoFileAs)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_vipsthumbnail(benchmark::State& state) {
  fs::path out = gData / "out-vips";
  fs::create_directories(out);
  std::vector<std::string> argv{"vipsthumbnail", "-s", std::to_string(kSize), "-o", (out / "%s.jpg").string()};
  argv.insert(argv.end(), gPhotos.begin(), gPhotos.end());
  report(state, argv);
}
BENCHMARK(BM_vipsthumbnail)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ImageMagick(benchmark::State& state) {
  fs::path out = gData / "out-magick";
  fs::create_directories(out);
  std::string size = std::to_string(kSize) + "x" + std::to_string(kSize);
  std::vector<std::string> argv{"mogrify", "-path", out.string(), "-auto-orient", "-thumbnail", size};
  argv.insert(argv.end(), gPhotos.begin(), gPhotos.end());
  report(state, argv);
}
BENCHMARK(BM_ImageMagick)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// The decoder-shrink path's pixels against libvips scaling the full decode, as PSNR in dB.
double pathPSNR(int size) {
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
      nullptr, reinterpret_cast<const UInt8*>(gPhotos[0].data()), static_cast<CFIndex>(gPhotos[0].size()), false));
  CFRef<CGImageSourceRef> source(CGImageSourceCreateWithURL(url.get(), nullptr));
  CFRef<CFNumberRef> max(CFNumberCreate(nullptr, kCFNumberIntType, &size));
  const void* keys[] = {kCGImageSourceCreateThumbnailFromImageAlways, kCGImageSourceThumbnailMaxPixelSize,
                        kCGImageSourceCreateThumbnailWithTransform};
  const void* values[] = {kCFBooleanTrue, max.get(), kCFBooleanTrue};
  CFRef<CFDictionaryRef> options(
      CFDictionaryCreate(nullptr, keys, values, 3, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFRef<CGImageRef> image(CGImageSourceCreateThumbnailAtIndex(source.get(), 0, options.get()));
  if (!image) return 0;
  double best = 1.0;
  CFRef<CFNumberRef> quality(CFNumberCreate(nullptr, kCFNumberDoubleType, &best));
  const void* qk[] = {kCGImageDestinationLossyCompressionQuality};
  const void* qv[] = {quality.get()};
  CFRef<CFDictionaryRef> qualityOptions(
      CFDictionaryCreate(nullptr, qk, qv, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFRef<CFMutableDataRef> data(CFDataCreateMutable(nullptr, 0));
  CFRef<CGImageDestinationRef> dest(CGImageDestinationCreateWithData(data.get(), kUTTypeJPEG, 1, qualityOptions.get()));
  CGImageDestinationAddImage(dest.get(), image.get(), nullptr);
  if (!CGImageDestinationFinalize(dest.get())) return 0;
  fs::path ours = gData / "psnr-ours.jpg", full = gData / "psnr-full.v";
  if (FILE* f = fopen(ours.c_str(), "wb")) {
    fwrite(CFDataGetBytePtr(data.get()), 1, static_cast<size_t>(CFDataGetLength(data.get())), f);
    fclose(f);
  }
  std::string s = std::to_string(size), d = gData.string();
  // Loading a file as an operation's input image decodes it fully: no shrinking decoder.
  if (shell("vips thumbnail_image '" + gPhotos[0] + "' '" + full.string() + "' " + s + " --height " + s +
            " --size down && vips subtract '" + ours.string() + "' '" + full.string() + "' '" + d +
            "/psnr-diff.v' && vips multiply '" + d + "/psnr-diff.v' '" + d + "/psnr-diff.v' '" + d + "/psnr-sq.v'") != 0)
    return 0;
  double mse = std::atof(capture("vips avg '" + d + "/psnr-sq.v'").c_str());
  for (const char* name : {"psnr-diff.v", "psnr-sq.v", "psnr-full.v", "psnr-ours.jpg"}) fs::remove(gData / name);
  return mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
}

void BM_PathQuality(benchmark::State& state) {
  double psnr = 0;
  for (auto _ : state) psnr = pathPSNR(static_cast<int>(state.range(0)));
  state.counters["PSNR_dB"] = psnr;
}
BENCHMARK(BM_PathQuality)->Arg(1600)->Arg(1000)->Arg(640)->Iterations(1)->Unit(benchmark::kMillisecond);

// Child mode: prepares every photo named, as the plug-in does, and exits.
int prepareAll(int argc, char** argv) {
  SInt32 size = std::atoi(argv[2]);
  for (int i = 3; i < argc; ++i) {
    FSRef ref;
    CFRef<CFStringRef> path(CFStringCreateWithCString(nullptr, argv[i], kCFStringEncodingUTF8));
    if (feMakeFSRefFromPath(path.get(), &ref) != 0) return 1;
    CFRef<CFMutableDataRef> jpeg(resizePhotoFileAs(&ref, size, kUTTypeJPEG));
    if (!jpeg || CFDataGetLength(jpeg.get()) == 0) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::strcmp(argv[1], "--prepare") == 0) return prepareAll(argc, argv);
  std::error_code ec;
  gSelf = fs::read_symlink("/proc/self/exe", ec);
  benchmark::Initialize(&argc, argv);
  makeTestPhotos();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
