#pragma once

// GLEW must come before any header that pulls in gl.h.
#include <GL/glew.h>

#include "PictureLoader.h"
#include "Stopwatch.h"
#include "Texture.h"
#include "TextureUpload.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QGLWidget;
class SharedContextThread;

// One file's way onto the card, without a loop of its own: the decode and the statistics on
// the loader's worker, the texture's storage in a context shared with the widget's, and the
// upload a slice per turn of the window's event loop. Every step is a message to this object,
// so the window keeps drawing and answering throughout. Destroying the job cancels it; it
// needs the widget's context current for that, as it releases GL objects.
class LoadJob : public QObject {
    Q_OBJECT
public:
    struct Options {
        SizeLimit limit;
        bool mipmapped = true;
        // A large picture's reduced copy is made for a first view (previewReady) where > 0.
        int previewSide = 0;
        // The most bytes one upload slice sends (0: as many as about 25 ms take).
        std::size_t sliceLimit = 0;
    };

    LoadJob(QGLWidget& widget, const QString& name, const Options& options);
    ~LoadJob() override;
    LoadJob(const LoadJob&) = delete;
    LoadJob& operator=(const LoadJob&) = delete;

    const QString& name() const { return fileName; }
    // Rows decoded so far, and the picture's height where the reader tells it (0: unknown).
    int rowsDone() const { return loader->rowsDone(); }
    int rowCount() const { return loader->rowCount(); }
    // After previewReady: the reduced copy (taken once).
    Preview takePreview() { return loader->takePreview(); }
    // After visible: the texture, which this job goes on filling until finished; the caller
    // owns it from then on and must destroy this job first.
    std::unique_ptr<Texture> takeTexture() { return std::move(owned); }
    Texture* texture() const { return target; }
    // From visible on: the picture's metadata; its statistics from finished on (null before).
    const PictureMetadata& metadata() const { return meta; }
    // Once the job has failed: the error's text.
    const QString& error() const { return failure; }
    bool isFinished() const { return state == State::Finished || state == State::Failed; }
    // Gives the load up at once: no signal comes after it, the upload stops and touches the
    // texture no more (the caller may then destroy it), and the threads are told to stop.
    void cancel();
    // Whether no thread of the job runs any more, so that destroying it waits for none: a
    // decode that cannot be stopped (OpenImageIO's) runs to its end first.
    bool idle() const;

signals:
    void previewReady();
    // The picture's smallest levels are on the card: it can be shown.
    void visible();
    // A finer level is whole.
    void sharpened();
    // Every level is up and the statistics are in metadata().
    void finished();
    void failed();

private:
    enum class State { Decoding, Storage, Uploading, Gathering, Finished, Failed, Cancelled };
    // Makes the storage with `make` in a shared context, then storageMade; false where no
    // shared context can be had.
    bool startStorage(std::function<std::unique_ptr<Texture>()> make);
    void sized();
    void storageFromLevels();
    void levelsTaken();
    void storageMade();
    void startUpload();
    void uploadSlice();
    void uploaded();
    void gathered();
    void fail(const QString& text);
    // Posts `step` to this object's thread, dropped once the job is gone.
    template <typename Step> void post(Step step);

    QGLWidget& widget;
    QString fileName;
    Options options;
    State state = State::Decoding;
    bool radiance = false;
    // The decode's messages may come before the levels are taken; these say which did.
    bool levelsReady = false;
    bool statisticsDone = false;
    std::vector<Picture> levels;
    // The storage made in a shared context, from the header's size or from the levels.
    std::unique_ptr<Texture> early;
    std::unique_ptr<UploadBuffer> earlyBuffer;
    std::exception_ptr storageError;
    // Set on the storage's thread once its work is done; the storage came from the header's
    // size rather than the levels.
    std::atomic<bool> storageDone{false};
    bool earlyFromHeader = false;
    std::unique_ptr<SharedContextThread> storage;
    std::unique_ptr<Texture> owned;
    Texture* target = nullptr;
    PictureMetadata meta;
    std::unique_ptr<TextureUpload> upload;
    QTimer slices;
    Stopwatch uploadClock;
    QString failure;
    // Last, so that it is joined first: its worker posts to the fields above.
    std::unique_ptr<PictureLoader> loader;
};
