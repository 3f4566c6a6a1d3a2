package com.plimo.mail.mapi;

import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;

import javax.mail.MessagingException;
import org.junit.jupiter.api.Test;

class NativeLifetimeTest {

    private final NativeLifetime store = new NativeLifetime(null, "The store of this message is closed");
    private final NativeLifetime folder = new NativeLifetime(store, "The folder of this message is closed");
    private final NativeLifetime content = new NativeLifetime(folder, "discarded");

    @Test
    void aliveUntilEnded() {
        assertNull(content.endedText());
        assertDoesNotThrow(content::check);
        content.end();
        assertEquals("discarded", content.endedText());
        assertEquals("discarded", assertThrows(MessagingException.class, content::check).getMessage());
        assertNull(folder.endedText(), "an owner outlives what it owns");
    }

    @Test
    void theOutermostEndedOwnerSpeaks() {
        // A folder that closes deletes its messages' contents too: the folder says why.
        folder.end();
        content.end();
        assertEquals("The folder of this message is closed", content.endedText());
        store.end();
        assertEquals("The store of this message is closed", content.endedText());
        assertEquals("The store of this message is closed",
                assertThrows(MessagingException.class, folder::check).getMessage());
    }
}
