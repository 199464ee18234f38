#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

// Every suite runs with JUCE initialised, so components, timers and the message manager work.
int main (int argc, char** argv)
{
    testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
