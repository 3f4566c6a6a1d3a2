package com.plimo.mail.mapi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.plimo.mail.mapi.testing.StandInFolder;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.Date;
import javax.mail.Flags;
import javax.mail.IllegalWriteException;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.internet.InternetAddress;
import javax.mail.internet.MimeMultipart;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/** What a MAPIMessage does without asking the store. */
class MAPIMessageTest {

    private final StandInFolder folder = new StandInFolder();

    @Test
    void knowsItsFolderNumberAndSession() {
        MAPIMessage message = new MAPIMessage(folder, 7);
        assertSame(folder, message.getFolder());
        assertEquals(7, message.getMessageNumber());
        assertNotNull(message.getSession());
    }

    @Test
    void worksWithoutAFolder() {
        MAPIMessage message = new MAPIMessage(null, 3);
        assertNull(message.getFolder());
        assertEquals(3, message.getMessageNumber());
        assertNull(message.getSession());
    }

    @Test
    void carriesTheNativeHandle() {
        MAPIMessage message = new MAPIMessage(folder, 1);
        assertEquals(0L, message.getMessagePointer());
        message.setMessagePointer(0xFFFFFFFF80001234L);
        assertEquals(0xFFFFFFFF80001234L, message.getMessagePointer());
    }

    @Test
    void aMessageOfAClosedFolderRefusesEveryNativeRead() {
        OwnedFolder owned = new OwnedFolder();
        MAPIMessage message = new MAPIMessage(owned, 1);
        message.setMessagePointer(0x10L);
        owned.inbox.end();
        // The native library is not loaded here: a call that reached it would fail with an
        // Error, not with the folder's text.
        for (Executable read : new Executable[] {
                message::getSubject, message::getTextBody, message::getHtmlBody, message::getMessageID,
                message::getPriority, message::getFrom, () -> message.getRecipients(Message.RecipientType.TO),
                message::getReplyTo, message::getSentDate, message::getReceivedDate, message::getContent,
                message::getMessageFile, () -> message.setFlags(new Flags(Flags.Flag.DELETED), true)}) {
            assertEquals("The folder of this message is closed",
                    assertThrows(MessagingException.class, read).getMessage());
        }
        owned.store.end();
        assertEquals("The store of this message is closed",
                assertThrows(MessagingException.class, message::getSubject).getMessage());
    }

    @Test
    void fetchedMessagesAreSeen() throws Exception {
        MAPIMessage message = new MAPIMessage(folder, 1);
        assertTrue(message.isSet(Flags.Flag.SEEN));
        assertFalse(message.isSet(Flags.Flag.DELETED));
    }

    @Test
    void flagsOtherThanDeletedStayInTheObject() throws Exception {
        MAPIMessage message = new MAPIMessage(folder, 1);
        message.setFlag(Flags.Flag.FLAGGED, true);
        message.setFlag(Flags.Flag.SEEN, false);
        assertTrue(message.isSet(Flags.Flag.FLAGGED));
        assertFalse(message.isSet(Flags.Flag.SEEN));
        Flags copy = message.getFlags();
        copy.add(Flags.Flag.ANSWERED);
        assertFalse(message.isSet(Flags.Flag.ANSWERED));
    }

    @Test
    void partsWithoutANativeReadAreAnsweredLocally() throws Exception {
        MAPIMessage message = new MAPIMessage(folder, 1);
        assertEquals(-1, message.getSize());
        assertEquals(-1, message.getLineCount());
        assertNull(message.getDisposition());
        assertNull(message.getDescription());
        assertNull(message.getFileName());
        assertNull(message.getRecipients(javax.mail.internet.MimeMessage.RecipientType.NEWSGROUPS));
    }

    @Test
    void isReadOnly() {
        MAPIMessage message = new MAPIMessage(folder, 1);
        InternetAddress address = new InternetAddress();
        address.setAddress("a@example.org");
        InternetAddress[] addresses = {address};
        assertThrows(IllegalWriteException.class, message::setFrom);
        assertThrows(IllegalWriteException.class, () -> message.setFrom(address));
        assertThrows(IllegalWriteException.class, () -> message.addFrom(addresses));
        assertThrows(IllegalWriteException.class, () -> message.setRecipients(Message.RecipientType.TO, addresses));
        assertThrows(IllegalWriteException.class, () -> message.addRecipients(Message.RecipientType.CC, addresses));
        assertThrows(IllegalWriteException.class, () -> message.setSubject("x"));
        assertThrows(IllegalWriteException.class, () -> message.setSentDate(new Date()));
        assertThrows(IllegalWriteException.class, message::saveChanges);
        assertThrows(IllegalWriteException.class, () -> message.setText("x"));
        assertThrows(IllegalWriteException.class, () -> message.setContent("x", "text/plain"));
        assertThrows(IllegalWriteException.class, () -> message.setContent(new MimeMultipart()));
        assertThrows(IllegalWriteException.class, () -> message.setDataHandler(null));
        assertThrows(IllegalWriteException.class, () -> message.setDisposition("inline"));
        assertThrows(IllegalWriteException.class, () -> message.setDescription("x"));
        assertThrows(IllegalWriteException.class, () -> message.setFileName("x"));
        assertThrows(IllegalWriteException.class, () -> message.setHeader("X-A", "1"));
        assertThrows(IllegalWriteException.class, () -> message.addHeader("X-A", "1"));
        assertThrows(IllegalWriteException.class, () -> message.removeHeader("X-A"));
    }

    @Test
    void mimeTypeMatching() {
        assertTrue(MAPIMessage.mimeTypeMatches("multipart/mixed", "multipart/*"));
        assertTrue(MAPIMessage.mimeTypeMatches("text/plain; charset=UTF-8", "TEXT/PLAIN"));
        assertFalse(MAPIMessage.mimeTypeMatches("text/plain", "text/html"));
        assertFalse(MAPIMessage.mimeTypeMatches(null, "text/plain"));
        // The same verdict as JavaMail's ContentType.match, case by case (a text that is
        // not a type/subtype is compared as given).
        String[] types = {"text/plain", "TEXT/Plain ; charset=x", " text / html ", "text/*", "*/*", "image/png",
            "message/rfc822", "multipart/related; type=\"text/html\"", "text", "text/", "/plain", "", "text/plain;"};
        for (String type : types) {
            for (String pattern : types) {
                boolean expected;
                try {
                    expected = new javax.mail.internet.ContentType(type).match(pattern);
                } catch (javax.mail.internet.ParseException e) {
                    expected = type.equalsIgnoreCase(pattern);
                }
                assertEquals(expected, MAPIMessage.mimeTypeMatches(type, pattern), "'" + type + "' ~ '" + pattern + "'");
            }
        }
    }

    @Test
    void theNativeClassDeclaresAllItsMethods() throws Exception {
        // loaded without initialising, so the native library is not needed here
        Class<?> natives = Class.forName("com.plimo.mail.mapi.MAPINative", false, getClass().getClassLoader());
        int count = 0;
        for (Method m : natives.getDeclaredMethods()) {
            if (Modifier.isNative(m.getModifiers())) {
                assertTrue(Modifier.isStatic(m.getModifiers()) && Modifier.isPublic(m.getModifiers()), m.getName());
                count++;
            }
        }
        assertEquals(47, count);
        assertEquals(MAPIMultipart.class,
                natives.getMethod("getMessageContent", long.class, MAPIMessage.class).getReturnType());
        assertEquals(MAPIBodyPart.class,
                natives.getMethod("getMultipartBodypart", long.class, MAPIMultipart.class, int.class).getReturnType());
        assertEquals(MAPIMessage[].class,
                natives.getMethod("getFolderMessageChunk", long.class, javax.mail.Folder.class, int.class, int.class)
                        .getReturnType());
        assertEquals(String[].class, natives.getMethod("getMessageReplyTo", long.class).getReturnType());
        assertEquals(double.class, natives.getMethod("getMessageSentDate", long.class).getReturnType());
    }
}
