package com.plimo.mail.mapi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.time.Instant;
import java.util.Date;
import org.junit.jupiter.api.Test;

class AutomationDateTest {

    private static Instant instant(double automationDate) {
        return AutomationDate.toDate(automationDate).toInstant();
    }

    @Test
    void zeroMeansNoDate() {
        assertNull(AutomationDate.toDate(0.0));
        assertNull(AutomationDate.toDate(-0.0));
    }

    @Test
    void valuesThatAreNotFiniteMeanNoDate() {
        assertNull(AutomationDate.toDate(Double.NaN));
        assertNull(AutomationDate.toDate(Double.POSITIVE_INFINITY));
        assertNull(AutomationDate.toDate(Double.NEGATIVE_INFINITY));
    }

    @Test
    void wholeDaysCountFromTheEndOf1899() {
        assertEquals(Instant.parse("1899-12-31T00:00:00Z"), instant(1.0));
        assertEquals(Instant.parse("1970-01-01T00:00:00Z"), instant(25569.0));
        assertEquals(Instant.parse("2000-01-01T00:00:00Z"), instant(36526.0));
    }

    @Test
    void theFractionIsTheTimeOfDayInUtc() {
        assertEquals(Instant.parse("2000-01-01T12:00:00Z"), instant(36526.5));
        assertEquals(Instant.parse("2000-01-01T06:00:00Z"), instant(36526.25));
        assertEquals(Instant.parse("2024-02-29T18:00:00Z"), instant(45351.75));
    }

    @Test
    void roundsToTheNearestMillisecond() {
        double oneSecondPastMidnight = 36526.0 + 1.0 / 86400.0;
        assertEquals(Instant.parse("2000-01-01T00:00:01Z"), instant(oneSecondPastMidnight));
        double almostNoon = 36526.5 - 0.4 / 86_400_000.0;
        assertEquals(Instant.parse("2000-01-01T12:00:00Z"), instant(almostNoon));
    }

    @Test
    void beforeTheBaseDateTheFractionStillCountsForward() {
        // -1.25 is 29 December 1899, 06:00: a day back, then a quarter day forward
        assertEquals(Instant.parse("1899-12-29T06:00:00Z"), instant(-1.25));
        assertEquals(Instant.parse("1899-12-28T00:00:00Z"), instant(-2.0));
    }

    @Test
    void fromDateIsTheInverse() {
        for (String text : new String[] {"2000-01-01T12:00:00Z", "1970-01-01T00:00:00Z",
                "2031-07-15T23:59:59.999Z", "1899-12-29T06:00:00Z", "1899-12-31T00:00:00Z"}) {
            Date date = Date.from(Instant.parse(text));
            assertEquals(date, AutomationDate.toDate(AutomationDate.fromDate(date)), text);
        }
        assertEquals(36526.5, AutomationDate.fromDate(Date.from(Instant.parse("2000-01-01T12:00:00Z"))));
        assertEquals(-1.25, AutomationDate.fromDate(Date.from(Instant.parse("1899-12-29T06:00:00Z"))));
    }
}
