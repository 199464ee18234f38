#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include "PluginEditor.h"
#include "MessageLoop.h"

// Every suite runs with JUCE initialised, so components, timers and the message manager work.
int main (int argc, char** argv)
{
    testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    const auto result = RUN_ALL_TESTS();

    // Account requests started by windows run on detached threads; let them end before JUCE
    // shuts down underneath them.
    tonvia_tools::runMessageLoopUntil ([] { return TonviaEditor::requestsInFlight() == 0; }, std::chrono::seconds (30));
    return result;
}
