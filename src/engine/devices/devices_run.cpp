// The devices run: the build planned once, then the devices made a batch
// at a time. A batch's files are written beside their names, each checked
// as FLASH's own CHECK would check it and hashed as it is written, put in
// place together, and only then named by the ledger: an interrupted run
// leaves whole batches and a ledger that names exactly those.
#include "devices_run.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "../flash/flash_digests.h"
#include "../flash/flash_run.h"
#include "../flash/flash_verify.h"
#include "../outfile/names.h"
#include "../outfile/outputs.h"
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"
#include "batch_files.h"
#include "ledger.h"
#include "places.h"
#include "run_words.h"

namespace velk::devices {

namespace {

// Devices made and put in place together: one commit of their files, one
// step of the ledger.
constexpr size_t batch_devices = 32;

// One device: a copy of the planned run with its values stamped in, its
// files' names, and the contents they are written from.
struct Device {
    Device(const flash::FlashRun& base, size_t index) : run(base), index(index) {}

    flash::FlashRun run;
    size_t index;
    std::string root;  // <folder>/<input's root>_<id>
    std::optional<formats::Contents> own, joined;
    std::unique_ptr<flash::SelfCheck> check;
    Entry entry;
};

bool exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() !=
           std::filesystem::file_type::not_found;
}

std::string sha256_of(const layout::Buffer& buffer, Host& host) {
    std::unique_ptr<crypto::Digest> digest = host.crypto().sha256();
    digest->update(buffer->data(), buffer->size());
    return text::hex(digest->finish());
}

class Run {
public:
    Run(const Request& request, Reporter& report, Host& host)
        : request_(request), report_(report), host_(host), base_(request) {}

    int go() {
        plan();
        made_ = resumed_ = ledger_->done();
        // A resume says the files of the devices it found, whether or not
        // it makes more.
        if (made_ > 0)
            for (const Entry::Written& e : ledger_->entries().front().files)
                files_per_device_.push_back(e.ending);
        refuse_existing();
        try {
            for (size_t first = made_; first < devices_.count; first += batch_devices)
                batch(first, std::min(devices_.count, first + batch_devices));
            finish_putting();
        } catch (...) {
            // The batch being put in place is finished, so that the ledger
            // names every batch whose files are in place.
            if (putting_.joinable()) putting_.join();
            if (put_end_ > made_) report_.commit();
            throw;
        }
        report_.commit();
        tell();
        report_.finish("written");
        return 0;
    }

private:
    void plan() {
        flash::plan(base_, host_);
        // The devices' long checksums run on workers too: they stop when
        // this run is stopping, and only the run's own thread asks the host.
        base_.plan.between_chunks = [this] {
            if (stop_) throw Interrupted{};
        };
        for (const StampWord& word : request_.stamps) stamps_.push_back(stamps::read_stamp(word));
        places_ = places_of(base_, stamps_);
        std::vector<uint64_t> widths;
        for (const Place& p : places_) widths.push_back(p.size);
        std::optional<uint64_t> count;
        if (request_.count) count = read_or_refuse(*request_.count);
        devices_ = stamps::read_devices(stamps_, widths, count, request_.big_endian);
        if (!request_.merge.empty())
            base_.merge_read = std::make_shared<const std::vector<ImageFile>>(
                read_merge_files(request_.merge));
        // The devices' images differ from the build's at the stamps alone.
        std::vector<std::pair<uint64_t, uint64_t>> changing;
        for (const Place& p : places_) changing.push_back({p.address, p.address + p.size});
        base_.incremental =
            std::make_shared<records::Incremental>(base_.plan, base_.memory, std::move(changing));
        folder_ = *request_.out;
        prefix_ = outfile::base_of(outfile::path_root(request_.input)) + "_";
        Identity identity;
        identity.input = outfile::base_of(request_.input);
        identity.input_sha256 = sha256_of(base_.elf.file_buffer, host_);
        for (size_t s = 0; s < stamps_.size(); ++s)
            identity.stamps.push_back({stamps_[s].place.text, places_[s].address,
                                       places_[s].size, stamps_[s].typed.values});
        identity.words = shaping_words(request_) + values_word();
        identity.count = devices_.count;
        // The file system's calls end a name at its first null byte: "a\0b"
        // would be made, and filled, as the folder "a".
        if (folder_.find('\0') != std::string::npos)
            throw Refusal{asker().given(Option::out, folder_) +
                          ": not a folder's name: it holds a null byte"};
        std::error_code error;
        if (exists(folder_) && !std::filesystem::is_directory(folder_, error))
            throw Refusal{asker().given(Option::out, folder_) + ": not a folder"};
        // Every refusal of the stamps and their values is behind: the
        // folder may be made.
        if (!exists(folder_) && !std::filesystem::create_directories(folder_, error) && error)
            throw Refusal{"cannot make the folder " + folder_ + ": " + error.message()};
        // One run a folder: two stations started on one folder (by mistake)
        // would each take the other's state and devices for their own, and
        // both report a complete set. The second is refused, not kept
        // waiting; a folder this run cannot open is left to the ledger's
        // or the first batch's write to name.
        if (folder_lock_.take(folder_) == EWOULDBLOCK)
            throw Refusal{folder_ + " is in use by another devices run: one run a folder"};
        ledger_ = std::make_unique<Ledger>(folder_, std::move(identity), request_.resume,
                                           request_.force, request_.asker);
    }

    const Asker& asker() const { return request_.asker; }

    // The values a CSV or a folder of blobs gave, by their SHA-256: a file
    // edited between a run and its resume would give the devices still to
    // make other values than the ledger's devices had, a serial twice among
    // them. The typed words say what a serial or a MAC gives.
    std::string values_word() const {
        std::vector<size_t> read;
        for (size_t s = 0; s < stamps_.size(); ++s)
            if (stamps_[s].source == stamps::Source::csv ||
                stamps_[s].source == stamps::Source::file)
                read.push_back(s);
        if (read.empty()) return {};
        std::unique_ptr<crypto::Digest> digest = host_.crypto().sha256();
        for (size_t d = 0; d < devices_.count; ++d) {
            digest->update(reinterpret_cast<const uint8_t*>(devices_.ids[d].c_str()),
                           devices_.ids[d].size() + 1);
            for (size_t s : read) {
                const std::vector<uint8_t>& bytes = devices_.value(d, s).bytes;
                digest->update(bytes.data(), bytes.size());
            }
        }
        return " values:" + text::hex(digest->finish());
    }

    std::string root_of(size_t device) const {
        return outfile::join_path(folder_, prefix_ + devices_.ids[device]);
    }

    // The devices' files that are there already, before any is written:
    // refused unless --force, or unless --resume makes their devices again.
    void refuse_existing() {
        if (request_.force || request_.resume) return;
        std::vector<std::string> there;
        for (size_t d = made_; d < devices_.count; ++d)
            for (std::string& name : every_name(root_of(d)))
                if (exists(name)) there.push_back(std::move(name));
        if (there.empty()) return;
        throw Refusal{text::format("%s already exists", there.front().c_str()) +
                      (there.size() > 1
                           ? text::format(", and %zu more of the devices' files",
                                          there.size() - 1)
                           : std::string()) +
                      " (" + asker().turned_on(Option::force) + " writes over them)"};
    }

    std::unique_ptr<Device> make(size_t index) {
        auto device = std::make_unique<Device>(base_, index);
        flash::FlashRun& run = device->run;
        Entry& entry = device->entry;
        entry.id = devices_.ids[index];
        entry.index = index;
        for (size_t s = 0; s < stamps_.size(); ++s) {
            const stamps::Value& value = devices_.value(index, s);
            run.stamped.push_back({places_[s].address, value.bytes});
            run.memory.overlay(places_[s].address, value.bytes.data(), places_[s].size);
            entry.stamps.push_back({stamps_[s].place.text, places_[s].address, value.shown,
                                    text::hex(value.bytes)});
        }
        flash::compute(run, host_);
        for (size_t i : run.plan.by_slot()) {
            const records::Planned& p = run.plan.records[i];
            entry.records.push_back(
                {p.record.label, p.record.slot,
                 p.record.producer->shown(run.plan, run.stored[i]), text::hex(run.stored[i])});
        }
        device->root = root_of(index);
        device->own = run.contents(false);
        device->joined = run.contents(true);
        for (const auto& [format, merged] : asked_files(run)) {
            const formats::Contents& contents = merged ? *device->joined : *device->own;
            run.files.push_back({format, merged, formats::file_name(device->root, *format, merged),
                                 format->can_write(contents)});
        }
        device->check = std::make_unique<flash::SelfCheck>(run, host_, nullptr);
        // The signed image's check, on a thread of its own, is done before
        // the next device is signed.
        if (one_at_a_time()) device->check->waiting();
        return device;
    }

    // The devices [first, end) made on worker threads and this one, which
    // alone answers Ctrl-C (between devices) and tells the others to stop.
    std::vector<std::unique_ptr<Device>> make_all(size_t first, size_t end) {
        std::vector<std::unique_ptr<Device>> devices(end - first);
        std::atomic<size_t> next{first};
        std::mutex lock;
        std::exception_ptr failure;
        stop_ = false;
        auto work = [&](bool answers) {
            try {
                while (!stop_) {
                    if (answers) host_.stop_if_asked();
                    const size_t d = next++;
                    if (d >= end) return;
                    devices[d - first] = make(d);
                }
            } catch (...) {
                std::lock_guard<std::mutex> hold(lock);
                if (!failure) failure = std::current_exception();
                stop_ = true;
            }
        };
        const size_t threads =
            one_at_a_time()
                ? 1
                : std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()),
                                   end - first);
        std::vector<std::thread> workers;
        for (size_t t = 1; t < threads; ++t) {
            // A thread the system will not start is one worker fewer: this
            // one makes what the others do not.
            try {
                workers.emplace_back(work, false);
            } catch (const std::system_error&) {
                break;
            }
        }
        work(true);
        for (std::thread& t : workers) t.join();
        if (failure) std::rethrow_exception(failure);
        return devices;
    }

    // A key in a PKCS#11 token: its library and sessions are not to be
    // used by several threads at once, so the devices are signed, and
    // their signatures checked, one at a time.
    bool one_at_a_time() const {
        return base_.signing && base_.signing.signing().key &&
               base_.signing.signing().key->token;
    }

    // A batch written and checked, its files beside their names: put in
    // place, hashed and named by the ledger on a thread of its own while
    // the next batch is made, so that the file system's flush of one batch
    // and the writing of the next overlap. What it holds lives until then.
    struct Written {
        // Each device's entry and its files' names and endings: the rest of
        // a device goes once its files are written and checked.
        std::vector<std::pair<Entry, std::vector<std::pair<std::string, std::string>>>>
            named;
        std::unique_ptr<flash::FileDigests> digests;
        std::unique_ptr<BatchTap> tap;
        std::unique_ptr<BatchWriting> writing;
        std::unique_ptr<outfile::Outputs> outputs;
        size_t end = 0;
    };

    void batch(size_t first, size_t end) {
        auto w = std::make_unique<Written>();
        w->end = end;
        std::vector<std::unique_ptr<Device>> devices = make_all(first, end);
        // A kill once the first files are in place leaves a run to resume;
        // started before any batch is put in place on the other thread.
        if (!started_) ledger_->start();
        started_ = true;
        // Two batches' hashing may lag at once: each a little behind.
        w->digests =
            std::make_unique<flash::FileDigests>(host_.crypto(), size_t{1} << 20);
        w->tap = std::make_unique<BatchTap>(*w->digests);
        w->writing = std::make_unique<BatchWriting>(report_, host_);
        try {
            w->outputs =
                std::make_unique<outfile::Outputs>(outfile::Claim::plain, *w->writing);
            outfile::Outputs& outputs = *w->outputs;
            outputs.tap(*w->tap);
            outputs.sync_together(folder_);
            for (const auto& device : devices) {
                std::vector<std::string> other = every_name(device->root);
                for (const flash::File& file : device->run.files) {
                    if (!file.written) continue;
                    auto asked = std::find(other.begin(), other.end(), file.name);
                    if (asked != other.end()) other.erase(asked);
                    w->tap->add(file.name, device->check.get());
                    const formats::Contents& contents =
                        file.merged ? *device->joined : *device->own;
                    outputs.write(file.name, [&file, &contents](outfile::Sink& sink) {
                        file.format->write(contents, file.name, sink);
                    });
                }
                // As FLASH takes away the build's files it no longer writes:
                // a device's earlier .bin beside its new HEX would be
                // flashed with the earlier image.
                for (const std::string& name : other) outputs.remove(name);
            }
            outputs.check_written();
        } catch (const outfile::OsFailure& failure) {
            refuse_os_failure(failure);
        }
        for (const auto& device : devices) {
            std::vector<std::pair<std::string, std::string>> files;
            for (const flash::File& file : device->run.files)
                if (file.written)
                    files.emplace_back(file.name, file.name.substr(device->root.size()));
            w->named.emplace_back(std::move(device->entry), std::move(files));
        }
        devices.clear();
        // The batch before is in place before this one goes.
        finish_putting();
        putting_ = std::thread([this, w = std::move(w)]() mutable {
            try {
                put_in_place(*w);
            } catch (...) {
                put_failure_ = std::current_exception();
            }
            w.reset();  // its temporaries, if any are left, go here
        });
    }

    // On the putting thread: the batch's files in place, synced together,
    // then its devices named by the ledger.
    void put_in_place(Written& w) {
        w.outputs->put_in_place();
        std::vector<Entry> entries;
        for (auto& [entry, files] : w.named) {
            for (const auto& [name, ending] : files)
                entry.files.push_back(
                    {outfile::base_of(name), ending, w.digests->hex(name)});
            if (files_per_device_.empty())
                for (const Entry::Written& e : entry.files)
                    files_per_device_.push_back(e.ending);
            // A copy made here, not the device's own: the ledger keeps it to
            // the end of the run, and the device's strings lie among the
            // megabytes its worker made and freed, which they would pin.
            entries.push_back(entry);
        }
        std::vector<std::string> lines;
        for (const Entry& entry : entries) lines.push_back(json_line(entry));
        ledger_->add(std::move(entries));
        put_end_ = w.end;
        // Said here, as the ledger names them: a Ctrl-C on the run's own
        // thread leaves it no way to speak, and a resume makes these
        // devices no more, so a line reading the stream hears of each once.
        for (const std::string& line : lines) report_.stream(line);
    }

    // Waits for the batch being put in place; a failure there is thrown
    // here.
    void finish_putting() {
        if (!putting_.joinable()) return;
        putting_.join();
        if (put_end_ > made_) {
            made_ = put_end_;
            // The first batch is in place: what fails from here on says so.
            report_.commit();
        }
        if (put_failure_) {
            std::exception_ptr failure = put_failure_;
            put_failure_ = nullptr;
            try {
                std::rethrow_exception(failure);
            } catch (const outfile::OsFailure& os) {
                refuse_os_failure(os);
            }
        }
    }

    void tell() {
        std::string stamps;
        for (size_t s = 0; s < stamps_.size(); ++s)
            stamps += (s ? ", " : "") + stamps_[s].place.text + " at " +
                      text::address(places_[s].address) + " (" + stamps_[s].typed.values + ")";
        report_.line("stamps: " + stamps);
        // "20 devices in out: fw_<id>_CRC.elf, fw_<id>_CRC.hex each"
        std::string endings;
        for (const std::string& e : files_per_device_)
            endings += (endings.empty() ? "" : ", ") + prefix_ + "<id>" + e;
        report_.line(text::format("%zu device%s in %s", devices_.count,
                                  devices_.count == 1 ? "" : "s", folder_.c_str()) +
                     (resumed_from() ? text::format(" (%zu made by this run)",
                                                    devices_.count - resumed_from())
                                     : std::string()) +
                     (endings.empty() ? std::string() : ": " + endings + " each"));
        report_.line("manifest: " + outfile::join_path(folder_, "manifest.json") + ", " +
                     outfile::join_path(folder_, "manifest.csv"));
        // The build's layout checks, said once for every device.
        for (const flash::Finding& f : base_.findings) report_.warning(f.text);
        json::Value& d = report_.data().set("devices", json::Value::object());
        d.set("count", static_cast<uint64_t>(devices_.count));
        d.set("made", static_cast<uint64_t>(devices_.count - resumed_from()));
        d.set("folder", folder_);
        d.set("manifest", outfile::join_path(folder_, "manifest.json"));
        json::Value& endings_json = d.set("files", json::Value::array());
        for (const std::string& e : files_per_device_) endings_json.push(e);
        json::Value& stamps_json = d.set("stamps", json::Value::array());
        for (size_t s = 0; s < stamps_.size(); ++s) {
            json::Value& one = stamps_json.push(json::Value::object());
            one.set("place", stamps_[s].place.text);
            one.set("address", places_[s].address);
            one.set("size", places_[s].size);
            one.set("values", stamps_[s].typed.values);
        }
    }

    size_t resumed_from() const { return resumed_; }

    const Request& request_;
    Reporter& report_;
    Host& host_;
    flash::FlashRun base_;
    std::vector<stamps::Stamp> stamps_;
    std::vector<Place> places_;
    stamps::Devices devices_;
    std::string folder_, prefix_;
    platform::FolderLock folder_lock_;  // held while the run lasts
    std::unique_ptr<Ledger> ledger_;
    size_t made_ = 0, resumed_ = 0;
    std::atomic<bool> stop_{false};  // a device failed, or Ctrl-C: the workers stop
    std::vector<std::string> files_per_device_;
    // The batch being put in place, and what it left for the run's thread.
    std::thread putting_;
    std::exception_ptr put_failure_;
    size_t put_end_ = 0;
    bool started_ = false;  // the ledger's, on this thread
};

}  // namespace

int run_devices(const Request& request, Reporter& report, Host& host) {
    return Run(request, report, host).go();
}

}  // namespace velk::devices
