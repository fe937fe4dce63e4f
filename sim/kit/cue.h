// A misbehaviour a simulator was asked for, and how many more times.
#pragma once

namespace simkit {

// left: -1 off, 0 until cleared, N uses left.
struct Cue {
    int left = -1;

    bool On() const { return left >= 0; }
    // One use: the last of N turns the cue off.
    void Use() {
        if (left > 0 && --left == 0) {
            left = -1;
        }
    }
    // Whether the cue is on, using it when it is.
    bool Take() {
        if (!On()) {
            return false;
        }
        Use();
        return true;
    }
};

}  // namespace simkit
