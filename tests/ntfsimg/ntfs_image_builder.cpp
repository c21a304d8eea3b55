// Placeholder while the layout code is written: every call reports that it is missing.
#include "tests/ntfsimg/ntfs_image_builder.h"

#include <stdexcept>

namespace pyralis::test {

struct NtfsImageBuilder::State {};

namespace {
[[noreturn]] void missing() { throw std::logic_error("NtfsImageBuilder: not implemented yet"); }
}  // namespace

NtfsImageBuilder::NtfsImageBuilder(NtfsGeometry geometry)
    : geometry_(std::move(geometry)), state_(std::make_unique<State>()) {}
NtfsImageBuilder::~NtfsImageBuilder() = default;
uint64_t NtfsImageBuilder::add_directory(const std::string&, uint64_t, bool) { missing(); }
uint64_t NtfsImageBuilder::add_file(const FileSpec&) { missing(); }
void NtfsImageBuilder::write(const std::string&) const { missing(); }
std::vector<uint8_t> NtfsImageBuilder::build() const { missing(); }
uint64_t NtfsImageBuilder::cluster_size() const { missing(); }
uint64_t NtfsImageBuilder::total_clusters() const { missing(); }
uint64_t NtfsImageBuilder::mft_lcn() const { missing(); }
uint64_t NtfsImageBuilder::mft_mirror_lcn() const { missing(); }
uint64_t NtfsImageBuilder::volume_offset() const { missing(); }
uint64_t NtfsImageBuilder::image_size() const { missing(); }
uint64_t NtfsImageBuilder::record_offset(uint64_t) const { missing(); }
uint64_t NtfsImageBuilder::cluster_offset(uint64_t) const { missing(); }
uint64_t NtfsImageBuilder::record_count() const { missing(); }
const BuiltFile& NtfsImageBuilder::file(uint64_t) const { missing(); }
std::string NtfsImageBuilder::expected_content(uint64_t) const { missing(); }
std::string NtfsImageBuilder::on_disk_content(uint64_t) const { missing(); }
std::string NtfsImageBuilder::stream_content(uint64_t, const std::string&) const { missing(); }
uint64_t NtfsImageBuilder::free_clusters(uint64_t) const { missing(); }
uint64_t NtfsImageBuilder::data_clusters(uint64_t) const { missing(); }
bool NtfsImageBuilder::cluster_allocated(uint64_t) const { missing(); }
uint8_t NtfsImageBuilder::pattern_byte(uint32_t seed, uint64_t offset) { missing(); }

}  // namespace pyralis::test
