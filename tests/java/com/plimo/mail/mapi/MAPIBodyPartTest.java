package com.plimo.mail.mapi;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.plimo.mail.mapi.testing.StandInFolder;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import javax.mail.Header;
import javax.mail.IllegalWriteException;
import javax.mail.MessagingException;
import javax.mail.Part;
import javax.mail.internet.ContentDisposition;
import org.junit.jupiter.api.Test;

class MAPIBodyPartTest {

    private final MAPIMessage message = new MAPIMessage(new StandInFolder(), 1);
    private final MAPIMultipart multipart = new MAPIMultipart(0x10L, message);

    private MAPIBodyPart html() {
        return new MAPIBodyPart(0x20L, multipart, "text/html", "", "<p>Hello</p>", "", 0);
    }

    private MAPIBodyPart text() {
        return new MAPIBodyPart(0x21L, multipart, "text/plain", "", "Hello", "", 0);
    }

    private MAPIBodyPart attachment() {
        return new MAPIBodyPart(0x22L, multipart, "image/png", "attachment", "logo.png", "logo@example", 2048);
    }

    private static List<String> names(java.util.Enumeration<Header> headers) {
        List<String> names = new ArrayList<>();
        for (Header h : Collections.list(headers)) {
            names.add(h.getName());
        }
        return names;
    }

    @Test
    void bodyTextCarriesItsText() throws Exception {
        MAPIBodyPart part = text();
        assertEquals(0x21L, part.getBodyPartPointer());
        assertSame(multipart, part.getParent());
        assertEquals("text/plain", part.getContentType());
        assertTrue(part.isMimeType("text/plain"));
        assertTrue(part.isMimeType("text/*"));
        assertFalse(part.isMimeType("text/html"));
        assertNull(part.getDisposition());
        assertFalse(part.isAttachment());
        assertNull(part.getFileName());
        assertNull(part.getContentID());
        assertEquals(-1, part.getSize());
        assertEquals("Hello", part.getContent());
        assertEquals("<p>Hello</p>", html().getContent());
    }

    @Test
    void attachmentCarriesNameSizeAndContentId() throws Exception {
        MAPIBodyPart part = attachment();
        assertEquals("image/png", part.getContentType());
        assertEquals(Part.ATTACHMENT, part.getDisposition());
        assertTrue(part.isAttachment());
        assertEquals("logo.png", part.getFileName());
        assertEquals("logo@example", part.getContentID());
        assertEquals(2048, part.getSize());
        assertEquals(-1, part.getLineCount());
        assertNull(part.getDescription());
    }

    @Test
    void attachedMessageKeepsItsContentType() throws Exception {
        MAPIBodyPart part = new MAPIBodyPart(1L, multipart, "message/rfc822", "attachment", "Minutes.msg", "", 900);
        assertTrue(part.isMimeType("message/rfc822"));
        assertEquals("Minutes.msg", part.getFileName());
    }

    @Test
    void missingContentTypeReadsAsOctetStream() {
        MAPIBodyPart part = new MAPIBodyPart(1L, multipart, null, "attachment", "x.bin", "", 1);
        assertEquals("application/octet-stream", part.getContentType());
    }

    @Test
    void headersOfABodyText() throws MessagingException {
        MAPIBodyPart part = text();
        assertArrayEquals(new String[] {"text/plain"}, part.getHeader("content-type"));
        assertNull(part.getHeader("Content-Disposition"));
        assertNull(part.getHeader("Content-ID"));
        assertNull(part.getHeader("X-Anything"));
        assertEquals(List.of("Content-Type"), names(part.getAllHeaders()));
    }

    @Test
    void headersOfAnAttachment() throws Exception {
        MAPIBodyPart part = attachment();
        ContentDisposition disposition = new ContentDisposition(part.getHeader("Content-Disposition")[0]);
        assertEquals("attachment", disposition.getDisposition());
        assertEquals("logo.png", disposition.getParameter("filename"));
        assertArrayEquals(new String[] {"<logo@example>"}, part.getHeader("Content-ID"));
        assertEquals(List.of("Content-Type", "Content-Disposition", "Content-ID"), names(part.getAllHeaders()));
        assertEquals(List.of("Content-ID"), names(part.getMatchingHeaders(new String[] {"content-id"})));
        assertEquals(List.of("Content-Type", "Content-Disposition"),
                names(part.getNonMatchingHeaders(new String[] {"Content-ID"})));
    }

    @Test
    void dataHandlerIsTypedAndNamedLikeThePart() throws MessagingException {
        MAPIBodyPart part = attachment();
        assertEquals("image/png", part.getDataHandler().getContentType());
        assertEquals("logo.png", part.getDataHandler().getName());
    }

    @Test
    void writingAPartOfDiscardedContentIsRefused() {
        MAPIBodyPart part = attachment();
        multipart.discard();
        assertThrows(MessagingException.class, part::getInputStream);
        assertThrows(MessagingException.class, () -> part.writeTo("/tmp/never-written"));
    }

    @Test
    void writeToWithoutFileNameIsAnError() {
        MAPIBodyPart part = attachment();
        assertThrows(MessagingException.class, () -> part.writeTo((String) null));
        assertThrows(MessagingException.class, () -> part.writeTo(""));
    }

    @Test
    void isReadOnly() {
        MAPIBodyPart part = text();
        assertThrows(IllegalWriteException.class, () -> part.setText("x"));
        assertThrows(IllegalWriteException.class, () -> part.setContent("x", "text/plain"));
        assertThrows(IllegalWriteException.class, () -> part.setContent(multipart));
        assertThrows(IllegalWriteException.class, () -> part.setDataHandler(null));
        assertThrows(IllegalWriteException.class, () -> part.setDisposition(Part.INLINE));
        assertThrows(IllegalWriteException.class, () -> part.setDescription("x"));
        assertThrows(IllegalWriteException.class, () -> part.setFileName("x"));
        assertThrows(IllegalWriteException.class, () -> part.setHeader("X-A", "1"));
        assertThrows(IllegalWriteException.class, () -> part.addHeader("X-A", "1"));
        assertThrows(IllegalWriteException.class, () -> part.removeHeader("X-A"));
    }
}
