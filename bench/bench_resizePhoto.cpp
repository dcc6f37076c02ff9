// Photo preparation at 1600 pixels, side by side with the vipsthumbnail program, on a set of
// photos made by the benchmark: a 6000 by 4000 JPEG, a 24-megapixel PNG and TIFF and a HEIC,
// each as a smooth photo (a blurred fractal landscape) and as a noisy, detailed one (the same
// with strong per-channel noise, which decodes and encodes slower, as real photos do).
//
// Each contender is one process (ours: prepare-photo, beside this program) that prepares several copies of the photo, so start-up is paid
// once; the time reported is per photo. Peak memory is that of a process that prepares one
// photo (its peak resident set, from wait4 in peak-rss, since a child's figure would start from
// this program's own). PSNR measures how far our path is from scaling the
// full decode: our pixels (saved at quality 100) against libvips' scaling of the fully decoded
// photo. ImageMagick (mogrify) is shown on the smooth JPEG for comparison.
//
// The photos are made on the first run and kept in bench/data beside this program.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "BenchTable.h"
#include "ImageIO.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

constexpr int kSize = 1600;

fs::path gSelf;
fs::path gData;

struct Photo {
  std::string name;   // e.g. "JPEG noisy"
  std::string file;   // in gData
  int copies;         // photos per timed process
  std::vector<std::string> paths;  // the copies' names
};
std::vector<Photo> gSet;

struct Figures {
  double oursSeconds = NAN, vipsSeconds = NAN, oursMB = NAN, vipsMB = NAN, psnr = NAN;
};
std::map<std::string, Figures> gFigures;

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

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

void fail(const char* what) {
  fprintf(stderr, "cannot make the test photos (%s; vips, convert and exiftool are needed)\n", what);
  exit(1);
}

// Makes the smooth and noisy 6000 x 4000 images as vips files, then each photo of the set.
void makeTestPhotos() {
  gData = gSelf.parent_path() / "data";
  fs::create_directories(gData);
  fs::path smoothV = gData / "smooth.v", noisyV = gData / "noisy.v";
  auto have = [&](const char* name) { return fs::exists(gData / name); };
  bool allMade = true;
  for (const char* f : {"photo6000.jpg", "noisy6000.jpg", "smooth.png", "noisy.png", "smooth.tif", "noisy.tif",
                        "smooth.heic", "noisy.heic"})
    allMade = allMade && have(f);
  if (!allMade) {
    fprintf(stderr, "making the test photos (once)...\n");
    fs::path smoothJpeg = gData / "photo6000.jpg";
    if (!fs::exists(smoothJpeg)) {
      fs::path tmp = gData / "photo6000-tmp.jpg";
      if (shell("convert -size 6000x4000 -seed 7 plasma:fractal -blur 0x1 -quality 90 " + q(tmp)) != 0)
        fail("convert");
      if (shell("exiftool -q -q -overwrite_original -GPSLatitude=48.1 -GPSLatitudeRef=N -GPSLongitude=11.5 "
                "-GPSLongitudeRef=E -IPTC:City=Bern '-IPTC:Caption-Abstract=At the river' -IPTC:Keywords=river " +
                q(tmp)) != 0)
        fail("exiftool");
      fs::rename(tmp, smoothJpeg);
    }
    if (shell("vips copy " + q(smoothJpeg) + " " + q(smoothV)) != 0) fail("vips copy");
    // Independent noise in each channel, strong enough to dominate the fine detail.
    std::string n = (gData / "n").string();
    if (shell("vips gaussnoise " + n + "0.v 6000 4000 --sigma 28 --mean 0 && vips gaussnoise " + n +
              "1.v 6000 4000 --sigma 28 --mean 0 && vips gaussnoise " + n + "2.v 6000 4000 --sigma 28 --mean 0 && "
              "vips bandjoin '" + n + "0.v " + n + "1.v " + n + "2.v' " + n + "3.v && vips add " + q(smoothV) + " " + n +
              "3.v " + n + "4.v && vips cast " + n + "4.v " + q(noisyV) + " uchar") != 0)
      fail("vips gaussnoise");
    for (int i = 0; i < 5; ++i) fs::remove(n + std::to_string(i) + ".v");
    auto save = [&](const fs::path& from, const char* to, const std::string& how) {
      fs::path target = gData / to, tmp = gData / (std::string("tmp-") + to);
      if (fs::exists(target)) return;
      if (shell(how + " " + q(from) + " " + q(tmp)) != 0) fail(to);
      if (fs::path(to).extension() == ".jpg" &&
          shell("exiftool -q -q -overwrite_original -TagsFromFile " + q(smoothJpeg) + " -all:all " + q(tmp)) != 0)
        fail("exiftool");
      fs::rename(tmp, target);
    };
    save(noisyV, "noisy6000.jpg", "vips jpegsave --Q 90");
    save(smoothV, "smooth.png", "vips pngsave --compression 6");
    save(noisyV, "noisy.png", "vips pngsave --compression 6");
    save(smoothV, "smooth.tif", "vips tiffsave");
    save(noisyV, "noisy.tif", "vips tiffsave");
    save(smoothV, "smooth.heic", "vips heifsave --compression hevc --Q 90");
    save(noisyV, "noisy.heic", "vips heifsave --compression hevc --Q 90");
    fs::remove(smoothV);
    fs::remove(noisyV);
  }
  gSet = {{"JPEG smooth", "photo6000.jpg", 8, {}}, {"JPEG noisy", "noisy6000.jpg", 6, {}},
          {"PNG smooth", "smooth.png", 3, {}},     {"PNG noisy", "noisy.png", 3, {}},
          {"TIFF smooth", "smooth.tif", 4, {}},    {"TIFF noisy", "noisy.tif", 4, {}},
          {"HEIC smooth", "smooth.heic", 1, {}},   {"HEIC noisy", "noisy.heic", 1, {}}};
  // Distinct names, so that no program can take one photo for another it has seen.
  for (Photo& photo : gSet) {
    fs::path source = gData / photo.file;
    for (int i = 0; i < photo.copies; ++i) {
      fs::path link = gData / ("copy-" + std::to_string(i) + "-" + photo.file);
      std::error_code ec;
      fs::remove(link, ec);
      fs::create_hard_link(source, link, ec);
      if (ec) fs::copy_file(source, link, fs::copy_options::overwrite_existing);
      photo.paths.push_back(link.string());
    }
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

// Times a contender over the photo's copies (the best of the iterations, per photo), then
// measures its peak memory on one photo.
void report(benchmark::State& state, const Photo& photo, const std::vector<std::string>& command, double* seconds,
            double* peakMB) {
  std::vector<std::string> all = command;
  all.insert(all.end(), photo.paths.begin(), photo.paths.end());
  double best = INFINITY;
  for (auto _ : state) {
    RunResult r = runProcess(all);
    if (!r.ok) {
      state.SkipWithError(("failed: " + command[0]).c_str());
      return;
    }
    state.SetIterationTime(r.seconds / photo.copies);
    best = std::min(best, r.seconds / photo.copies);
  }
  fs::path figure = gData / "peak-kib";
  std::vector<std::string> one{PEAK_RSS_BINARY, figure.string()};
  one.insert(one.end(), command.begin(), command.end());
  one.push_back(photo.paths[0]);
  RunResult single = runProcess(one);
  single.peakMB = NAN;
  if (FILE* f = fopen(figure.c_str(), "r")) {
    long kib = 0;
    if (fscanf(f, "%ld", &kib) == 1) single.peakMB = kib / 1024.0;
    fclose(f);
  }
  fs::remove(figure);
  state.counters["peak_MB"] = single.peakMB;
  state.counters["photos_per_process"] = photo.copies;
  *seconds = best;
  *peakMB = single.peakMB;
}

std::vector<std::string> oursCommand() { return {PREPARE_PHOTO_BINARY, std::to_string(kSize)}; }

std::vector<std::string> vipsCommand() {
  fs::path out = gData / "out-vips";
  fs::create_directories(out);
  return {"vipsthumbnail", "-s", std::to_string(kSize), "-o", (out / "%s.jpg").string()};
}

void BM_ImageMagick(benchmark::State& state) {
  fs::path out = gData / "out-magick";
  fs::create_directories(out);
  std::string size = std::to_string(kSize) + "x" + std::to_string(kSize);
  std::vector<std::string> argv{"mogrify", "-path", out.string(), "-auto-orient", "-thumbnail", size};
  double seconds, peak;
  report(state, gSet[0], argv, &seconds, &peak);
}

// Our path's pixels at the size against libvips scaling the full decode, as PSNR in dB.
double pathPSNR(const std::string& path, int size) {
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
      nullptr, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), false));
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
  if (shell("vips thumbnail_image '" + path + "' '" + full.string() + "' " + s + " --height " + s +
            " --size down && vips subtract '" + ours.string() + "' '" + full.string() + "' '" + d +
            "/psnr-diff.v' && vips multiply '" + d + "/psnr-diff.v' '" + d + "/psnr-diff.v' '" + d + "/psnr-sq.v'") != 0)
    return 0;
  double mse = std::atof(capture("vips avg '" + d + "/psnr-sq.v'").c_str());
  for (const char* name : {"psnr-diff.v", "psnr-sq.v", "psnr-full.v", "psnr-ours.jpg"}) fs::remove(gData / name);
  return mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
}

void registerAll() {
  for (const Photo& photo : gSet) {
    const Photo* p = &photo;
    std::string name = photo.name;
    std::replace(name.begin(), name.end(), ' ', '_');
    int iterations = photo.copies >= 6 ? 3 : photo.copies > 1 ? 2 : 1;
    benchmark::RegisterBenchmark(("BM_resizePhotoFileAs/" + name).c_str(),
                                 [p](benchmark::State& state) {
                                   Figures& f = gFigures[p->name];
                                   report(state, *p, oursCommand(), &f.oursSeconds, &f.oursMB);
                                 })
        ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(iterations);
    benchmark::RegisterBenchmark(("BM_vipsthumbnail/" + name).c_str(),
                                 [p](benchmark::State& state) {
                                   Figures& f = gFigures[p->name];
                                   report(state, *p, vipsCommand(), &f.vipsSeconds, &f.vipsMB);
                                 })
        ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(iterations);
  }
  benchmark::RegisterBenchmark("BM_ImageMagick/JPEG_smooth", BM_ImageMagick)
      ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
  // The quality measures decode in this process: after every measure of memory.
  for (const Photo& photo : gSet) {
    const Photo* p = &photo;
    std::string name = photo.name;
    std::replace(name.begin(), name.end(), ' ', '_');
    benchmark::RegisterBenchmark(("BM_PathQuality/" + name).c_str(),
                                 [p](benchmark::State& state) {
                                   double psnr = 0;
                                   for (auto _ : state) psnr = pathPSNR(p->paths[0], kSize);
                                   state.counters["PSNR_dB"] = psnr;
                                   gFigures[p->name].psnr = psnr;
                                 })
        ->Iterations(1)->Unit(benchmark::kMillisecond);
  }
  // Smaller sizes on the smooth JPEG, where the decoder shrinks by 4 and 8.
  for (int size : {1000, 640}) {
    benchmark::RegisterBenchmark(("BM_PathQuality/JPEG_smooth/" + std::to_string(size)).c_str(),
                                 [size](benchmark::State& state) {
                                   double psnr = 0;
                                   for (auto _ : state) psnr = pathPSNR(gSet[0].paths[0], size);
                                   state.counters["PSNR_dB"] = psnr;
                                 })
        ->Iterations(1)->Unit(benchmark::kMillisecond);
  }
}

void writeTable() {
  for (const Photo& photo : gSet) {
    auto it = gFigures.find(photo.name);
    if (it == gFigures.end()) continue;
    const Figures& f = it->second;
    std::string what = "prepare " + photo.name + " at " + std::to_string(kSize);
    if (std::isfinite(f.oursSeconds) || std::isfinite(f.vipsSeconds))
      benchtable::row(what + ": time", "vipsthumbnail", f.oursSeconds * 1000, f.vipsSeconds * 1000, "ms",
                      benchtable::Goal::RatioAtMost, 0.7);
    if (std::isfinite(f.oursMB) || std::isfinite(f.vipsMB))
      benchtable::row(what + ": peak memory", "vipsthumbnail", f.oursMB, f.vipsMB, "MB",
                      benchtable::Goal::RatioAtMost, 1.0);
    if (std::isfinite(f.psnr))
      benchtable::row(what + ": PSNR", "full decode (vips)", f.psnr, NAN, "dB", benchtable::Goal::ValueAtLeast, 38);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::error_code ec;
  gSelf = fs::read_symlink("/proc/self/exe", ec);
  benchmark::Initialize(&argc, argv);
  makeTestPhotos();
  registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  writeTable();
  return 0;
}
