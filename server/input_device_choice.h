#pragma once

#include <atomic>

namespace quavelink {

//! The window's hand-over of the chosen capture endpoint to the server thread: a choice made
//! twice before the server thread looks is handed over once, with the later index.
class InputDeviceChoice {
  public:
    //! Window thread: endpoint `index` was chosen (0 = the default device).
    void choose(int index) {
        selectedInputIndex.store(index, std::memory_order_relaxed);
        inputChangePending.store(true, std::memory_order_release);
    }

    //! Server thread: `TakeInputDeviceChange` of the window.
    bool take(int& index) {
        bool pending = inputChangePending.exchange(false, std::memory_order_acquire);
        index = selectedInputIndex.load(std::memory_order_relaxed);
        return pending;
    }

    int selected() const { return selectedInputIndex.load(std::memory_order_relaxed); }

  private:
    std::atomic<int> selectedInputIndex{0};
    std::atomic<bool> inputChangePending{false};
};

}  // namespace quavelink
