#pragma once
// What an upload task needs of the sync engine beyond QCTransferHost: where its work runs, whether
// it is to stop, and how heavily the running uploads weigh. The engine implements it; the transfer
// library never links the engine. Tests use a fake.
//
// Threads: any thread may call every operation; none is called with a lock of the task held.

#include <QString>

#include <functional>

class QCUploadHost {
public:
    virtual ~QCUploadHost() = default;

    // Runs `work` on a pool thread (file reads, hashing, compression and every exchange). Work
    // queued while the engine stops may be dropped: the task is ended then anyway.
    virtual void RunUploadWork(std::function<void()> work) = 0;
    // Whether the upload of `cloudPath` is to stop: the engine stops, or the path lies at or below
    // a cancelled upload.
    virtual bool UploadCancelled(const QString& cloudPath) const = 0;
    // The weight of the running uploads (see TaskWeight): at most 1.0 lets a file keep more blocks
    // in flight.
    virtual double UploadWeight() const = 0;
};
