package com.plimo.mail.mapi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.plimo.mail.mapi.testing.StandInFolder;
import java.io.ByteArrayOutputStream;
import java.util.ArrayList;
import java.util.List;
import javax.mail.IllegalWriteException;
import javax.mail.MessagingException;
import javax.mail.MethodNotSupportedException;
import org.junit.jupiter.api.Test;

class MAPIMultipartTest {

    /** A multipart whose store answers from a list and records what it was asked. */
    private static final class StubMultipart extends MAPIMultipart {
        final List<MAPIBodyPart> stored = new ArrayList<>();
        final List<Integer> loads = new ArrayList<>();
        int countCalls;

        StubMultipart(MAPIMessage message) {
            super(0x1234L, message);
        }

        StubMultipart withPart(String contentType, String disposition, String content) {
            stored.add(new MAPIBodyPart(0x100L + stored.size(), this, contentType, disposition, content, "", 0));
            return this;
        }

        @Override
        protected int loadCount() {
            countCalls++;
            return stored.size();
        }

        @Override
        protected MAPIBodyPart loadBodyPart(int index) {
            loads.add(index);
            return stored.get(index);
        }
    }

    private final MAPIMessage message = new MAPIMessage(new StandInFolder(), 1);

    @Test
    void carriesItsHandleAndMessage() {
        StubMultipart multipart = new StubMultipart(message);
        assertEquals(0x1234L, multipart.getMultipartPointer());
        assertSame(message, multipart.getMessage());
        assertSame(message, multipart.getParent());
        assertEquals("multipart/mixed", multipart.getContentType());
    }

    @Test
    void countIsAskedOnce() throws MessagingException {
        StubMultipart multipart = new StubMultipart(message)
                .withPart("text/html", "", "<p>hi</p>")
                .withPart("text/plain", "", "hi");
        assertEquals(2, multipart.getCount());
        assertEquals(2, multipart.getCount());
        assertEquals(1, multipart.countCalls);
    }

    @Test
    void eachPartIsFetchedOnceAndOnlyWhenAsked() throws MessagingException {
        StubMultipart multipart = new StubMultipart(message)
                .withPart("text/html", "", "<p>hi</p>")
                .withPart("text/plain", "", "hi")
                .withPart("application/pdf", "attachment", "a.pdf");
        assertSame(multipart.stored.get(2), multipart.getBodyPart(2));
        assertSame(multipart.stored.get(2), multipart.getBodyPart(2));
        assertSame(multipart.stored.get(0), multipart.getBodyPart(0));
        assertEquals(List.of(2, 0), multipart.loads);
    }

    @Test
    void indexOutsideThePartsNeverReachesTheStore() throws MessagingException {
        StubMultipart multipart = new StubMultipart(message).withPart("text/plain", "", "hi");
        assertThrows(IndexOutOfBoundsException.class, () -> multipart.getBodyPart(1));
        assertThrows(IndexOutOfBoundsException.class, () -> multipart.getBodyPart(-1));
        assertTrue(multipart.loads.isEmpty());
    }

    @Test
    void emptyMultipart() throws MessagingException {
        StubMultipart multipart = new StubMultipart(message);
        assertEquals(0, multipart.getCount());
        assertThrows(IndexOutOfBoundsException.class, () -> multipart.getBodyPart(0));
    }

    @Test
    void missingPartIsAnError() {
        MAPIMultipart multipart = new MAPIMultipart(1L, message) {
            @Override
            protected int loadCount() {
                return 1;
            }

            @Override
            protected MAPIBodyPart loadBodyPart(int index) {
                return null;
            }
        };
        assertThrows(MessagingException.class, () -> multipart.getBodyPart(0));
    }

    @Test
    void afterDiscardNothingNewIsFetched() throws MessagingException {
        StubMultipart multipart = new StubMultipart(message)
                .withPart("text/plain", "", "hi")
                .withPart("text/html", "", "<p>hi</p>");
        MAPIBodyPart first = (MAPIBodyPart) multipart.getBodyPart(0);
        multipart.discard();
        assertThrows(MessagingException.class, () -> multipart.getBodyPart(1));
        assertEquals(List.of(0), multipart.loads);
        // what was fetched before is plain Java data and stays readable
        assertSame(first, multipart.getBodyPart(0));
        assertEquals(2, multipart.getCount());
    }

    @Test
    void discardBeforeTheFirstReadStopsTheCount() {
        StubMultipart multipart = new StubMultipart(message).withPart("text/plain", "", "hi");
        multipart.discard();
        assertThrows(MessagingException.class, multipart::getCount);
        assertEquals(0, multipart.countCalls);
    }

    @Test
    void discardedContentStopsTheMultipartBeforeTheStore() {
        OwnedFolder owned = new OwnedFolder();
        MAPIMessage fetched = new MAPIMessage(owned, 1);
        MAPIMultipart multipart = new MAPIMultipart(1L, fetched) {
            @Override
            protected int loadCount() {
                throw new AssertionError("the store was asked for a discarded content");
            }
        };
        multipart.discard();
        assertEquals("The message's content was discarded when its delete flag changed; fetch it again",
                assertThrows(MessagingException.class, multipart::getCount).getMessage());
        owned.inbox.end();
        assertEquals("The folder of this message is closed",
                assertThrows(MessagingException.class, multipart::getCount).getMessage());
    }

    @Test
    void theMultipartAsksItsMessage() {
        OwnedFolder owned = new OwnedFolder();
        MAPIMessage fetched = new MAPIMessage(owned, 1);
        fetched.setMessagePointer(0x10L);
        StubMultipart multipart = new StubMultipart(fetched).withPart("text/plain", "", "hi");
        owned.inbox.end();
        assertEquals("The folder of this message is closed",
                assertThrows(MessagingException.class, multipart::getCount).getMessage());
        assertEquals(0, multipart.countCalls);
    }

    @Test
    void isReadOnly() {
        StubMultipart multipart = new StubMultipart(message).withPart("text/plain", "", "hi");
        MAPIBodyPart part = multipart.stored.get(0);
        assertThrows(IllegalWriteException.class, () -> multipart.addBodyPart(part));
        assertThrows(IllegalWriteException.class, () -> multipart.addBodyPart(part, 0));
        assertThrows(IllegalWriteException.class, () -> multipart.removeBodyPart(part));
        assertThrows(IllegalWriteException.class, () -> multipart.removeBodyPart(0));
        assertThrows(MethodNotSupportedException.class, () -> multipart.writeTo(new ByteArrayOutputStream()));
    }
}
